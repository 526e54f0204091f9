#include "tracking/leak_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/errors.h"
#include "counters/counters.h"
#include "debughelp/debug_help.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "tracking/budgets.h"
#include "tracking/track_table.h"
#include "tracking/xml_writer.h"

namespace tarvex {

namespace {

constexpr uint32_t max_frames = 16;
constexpr size_t context_name_length = 31;

// Working storage from the library's own context, so that writing the
// report never touches a tracked context.
struct ReportScratch {
    char context_name[context_name_length + 1];
    char message[leak_file_name_capacity + 64];
    const ResolvedFrame* frames[max_frames];
};

template <typename T>
T* take_from_library() {
    return static_cast<T*>(Tarvex::std_alloc(sizeof(T), tarvex_ids::library_context));
}

void give_to_library(void* storage) {
    Tarvex::std_free(storage, tarvex_ids::library_context);
}

bool report_order(const MemTrackEntry* a, const MemTrackEntry* b) {
    if (a->context_id != b->context_id) return a->context_id < b->context_id;
    return a->alloc_id < b->alloc_id;
}

void write_fragment(XmlWriter& xml, ReportScratch& scratch, const MemTrackEntry& entry) {
    xml.line("<Fragment AllocId=\"%d\" Adress=\"0x%" PRIxPTR "\" Size=\"%d\" Info=\"%s\">",
             static_cast<int>(entry.alloc_id), reinterpret_cast<uintptr_t>(entry.address),
             static_cast<int>(entry.size), entry.info);
    xml.level = 3;
    uint32_t resolved = 0;
    while (resolved < max_frames && entry.frames[resolved] != 0) {
        const ResolvedFrame* frame = resolve_frame(entry.frames[resolved]);
        if (frame == nullptr) break;
        scratch.frames[resolved++] = frame;
    }
    if (resolved > 0) {
        xml.line("<StackTrace Depth=\"%d\">", static_cast<int>(resolved));
        xml.level = 4;
        for (uint32_t depth = 0; depth < resolved; ++depth) {
            const ResolvedFrame& frame = *scratch.frames[depth];
            xml.line("<Entry Depth=\"%d\" Adress=\"0x%" PRIxPTR
                     "\" Module=\"%s\" Function=\"%s\" Source=\"%s\" Line=\"%d\" />",
                     static_cast<int>(depth), frame.address, xml.escape(frame.module),
                     xml.escape(frame.function), xml.escape(frame.source),
                     static_cast<int>(frame.line));
        }
        xml.level = 3;
        xml.line("</StackTrace>");
    }
    xml.level = 2;
    xml.line("</Fragment>");
}

// One Context element for the entries [first, last) of one context id.
void write_context(XmlWriter& xml, ReportScratch& scratch, const MemTrackEntry* const* first,
                   const MemTrackEntry* const* last) {
    const uint32_t id = (*first)->context_id;
    const MemContext* context = find_context(id, true);
    const char* name = context->name != nullptr ? context->name : "";
    std::strncpy(scratch.context_name, name, context_name_length);
    scratch.context_name[context_name_length] = '\0';
    uint32_t size_sum = 0;
    for (auto entry = first; entry != last; ++entry) size_sum += (*entry)->size;
    xml.line(
        "<Context Name=\"%s\" Id=\"0x%x\" Fragments=\"%d\" SizeAccumulation=\"%d\" "
        "MemUsage=\"%d\" MemUsagePeek=\"%d\"%s>",
        scratch.context_name, static_cast<unsigned>(id), static_cast<int>(last - first),
        static_cast<int>(size_sum), static_cast<int>(context->usage),
        static_cast<int>(context->usage_peak),
        over_soft_budget(*context) ? " OverBudget=\"1\"" : "");
    xml.level = 2;
    for (auto entry = first; entry != last; ++entry) write_fragment(xml, scratch, **entry);
    xml.level = 1;
    xml.line("</Context>");
}

void write_allocations(XmlWriter& xml, ReportScratch& scratch, const ReportSelection& selection) {
    const uint32_t count = track_table_size();
    auto** selected =
        static_cast<const MemTrackEntry**>(std::malloc(sizeof(MemTrackEntry*) * count));
    uint32_t kept = 0;
    if (selected != nullptr) {
        for_each_tracked([&](const MemTrackEntry& entry) {
            if (selection.keeps(entry)) selected[kept++] = &entry;
        });
        std::sort(selected, selected + kept, report_order);
    }
    xml.line("<Allocations Count=\"%d\" />", static_cast<int>(kept));
    for (uint32_t group = 0; group < kept;) {
        uint32_t end = group + 1;
        while (end < kept && selected[end]->context_id == selected[group]->context_id) ++end;
        write_context(xml, scratch, selected + group, selected + end);
        group = end;
    }
    std::free(selected);
}

void write_counters(XmlWriter& xml) {
    for_each_counter([&](const MemTypeDefs::Counter& counter) {
        xml.line("<Counter Name=\"%s\" Id=\"0x%x\" Count=\"%d\" Peek=\"%d\" />", counter.name,
                 static_cast<unsigned>(counter.id), static_cast<int>(counter.count),
                 static_cast<int>(counter.peak));
    });
}

}  // namespace

char* leak_file_name(char* buffer) {
    char path[leak_file_name_capacity];
    platform::executable_path(path, sizeof(path));
    const char* base = path;
    for (char* p = path + std::strlen(path); p != path; --p) {
        const char c = p[-1];
        if (c == '.') p[-1] = '\0';
        if (c == '\\' || c == '/' || c == ':') {
            base = p;
            break;
        }
    }
    // A base name too long for the buffer is cut, keeping the ".xml".
    std::snprintf(buffer, leak_file_name_capacity, "MemLeaks_%.1010s.xml", base);
    return buffer;
}

void write_leak_report(const char* file_name, const ReportSelection& selection) {
    if (file_name == nullptr) return;
    auto* scratch = take_from_library<ReportScratch>();
    void* writer_storage = take_from_library<XmlWriter>();
    if (scratch == nullptr || writer_storage == nullptr) {
        give_to_library(scratch);
        give_to_library(writer_storage);
        return;
    }
    XmlWriter& xml = *new (writer_storage) XmlWriter(file_name);
    xml.line("<MemTrackReport Version=\"1.0\">");
    xml.level = 1;
    if (track_table_size() == 0) {
        log_message("MemTrack finished. No leaks found");
    } else {
        std::snprintf(scratch->message, sizeof(scratch->message), "Dumping mem leaks to file: %s\n",
                      file_name);
        log_message(scratch->message);
        write_allocations(xml, *scratch, selection);
        write_counters(xml);
        log_message("Dump finished");
    }
    drop_frame_cache();
    xml.level = 0;
    xml.line("</MemTrackReport>");
    xml.~XmlWriter();
    give_to_library(writer_storage);
    give_to_library(scratch);
}

}  // namespace tarvex
