#include "tracking/leak_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/errors.h"
#include "base/library_state.h"
#include "contexts/library_storage.h"
#include "counters/counters.h"
#include "debughelp/debug_help.h"
#include "debughelp/frame_cache.h"
#include "debughelp/module_map.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "tarvex/tarvex.h"
#include "tracking/budgets.h"
#include "tracking/track_table.h"
#include "tracking/xml_writer.h"

namespace tarvex {

namespace {

constexpr size_t context_name_length = 31;
// The escaped texts a line quotes, bounded so that the line always fits the
// writer's buffer whole: a cut line would leave the file malformed.
constexpr size_t info_shown = 3800;
constexpr size_t counter_name_shown = 3800;
constexpr size_t module_shown = 1024;
constexpr size_t function_shown = 1700;
constexpr size_t source_shown = 1024;
// Blocks allocated while a report resolves outside the library lock need
// their frames resolved in turn; after this many rounds the rest is written
// unresolved.
constexpr int resolve_rounds = 3;

// Working storage is library storage, so that writing the report never
// touches a tracked context.
struct ReportScratch {
    char context_name[context_name_length + 1];
    char message[leak_file_name_capacity + 64];
    // The modules listed before the lock was taken; each written frame marks
    // its own.
    ModuleMap* modules;
};

bool report_order(const TrackedBlock* a, const TrackedBlock* b) {
    if (a->entry.context_id != b->entry.context_id) {
        return a->entry.context_id < b->entry.context_id;
    }
    return a->entry.alloc_id < b->entry.alloc_id;
}

// The entry's frames up to the first 0.
uint32_t frame_count(const MemTrackEntry& entry) {
    uint32_t count = 0;
    while (count < max_frames && entry.frames[count] != 0) ++count;
    return count;
}

// The frames come from the cache; one it does not know is written with its
// address and empty texts. A stack whose walk was cut is followed by an
// element of its own, after its last Entry: the StackTrace element keeps its
// shape, and a reader that does not know the mark skips it.
void write_fragment(XmlWriter& xml, const TrackedBlock& block, ModuleMap& modules) {
    const MemTrackEntry& entry = block.entry;
    xml.line("<Fragment AllocId=\"%d\" Adress=\"0x%" PRIxPTR "\" Size=\"%d\" Info=\"%s\">",
             static_cast<int>(entry.alloc_id), reinterpret_cast<uintptr_t>(entry.address),
             static_cast<int>(entry.size), xml.escape(entry.info, info_shown));
    xml.level = 3;
    const uint32_t depth_count = frame_count(entry);
    if (depth_count > 0) {
        ResolvedFrame frames[max_frames];
        known_frames(entry.frames, depth_count, frames);
        xml.line("<StackTrace Depth=\"%d\">", static_cast<int>(depth_count));
        xml.level = 4;
        for (uint32_t depth = 0; depth < depth_count; ++depth) {
            const ResolvedFrame& frame = frames[depth];
            modules.note(frame.address);
            xml.line("<Entry Depth=\"%d\" Adress=\"0x%" PRIxPTR
                     "\" Module=\"%s\" Function=\"%s\" Source=\"%s\" Line=\"%d\" />",
                     static_cast<int>(depth), frame.address, xml.escape(frame.module, module_shown),
                     xml.escape(frame.function, function_shown),
                     xml.escape(frame.source, source_shown), static_cast<int>(frame.line));
        }
        xml.level = 3;
        xml.line("</StackTrace>");
        if (block.stack_cut) xml.line("<Cut />");
    }
    xml.level = 2;
    xml.line("</Fragment>");
}

// One Context element for the entries [first, last) of one context id. The
// context is looked up silently: a report to the sink could release tracked
// blocks, and the entries in hand with them. An id that names no context is
// counted, and reported once the entries are let go.
void write_context(XmlWriter& xml, ReportScratch& scratch, const TrackedBlock* const* first,
                   const TrackedBlock* const* last, uint32_t& unknown_ids) {
    const uint32_t id = (*first)->entry.context_id;
    const MemContext* context = find_context(id, false);
    if (context == nullptr) {
        context = &null_context();
        ++unknown_ids;
    }
    const char* name = context->name != nullptr ? context->name : "";
    std::strncpy(scratch.context_name, name, context_name_length);
    scratch.context_name[context_name_length] = '\0';
    uint32_t size_sum = 0;
    for (auto block = first; block != last; ++block) size_sum += (*block)->entry.size;
    xml.line(
        "<Context Name=\"%s\" Id=\"0x%x\" Fragments=\"%d\" SizeAccumulation=\"%d\" "
        "MemUsage=\"%d\" MemUsagePeek=\"%d\"%s>",
        xml.escape(scratch.context_name, XmlWriter::line_capacity), static_cast<unsigned>(id),
        static_cast<int>(last - first), static_cast<int>(size_sum),
        static_cast<int>(context->usage), static_cast<int>(context->usage_peak),
        over_soft_budget(*context) ? " OverBudget=\"1\"" : "");
    xml.level = 2;
    for (auto block = first; block != last; ++block) write_fragment(xml, **block, *scratch.modules);
    xml.level = 1;
    xml.line("</Context>");
}

// `selected` has room for `capacity` entries: the table as it was counted.
// Nothing here calls the sink while the entries are in hand. Returns how
// many groups named no context.
uint32_t write_allocations(XmlWriter& xml, ReportScratch& scratch, const TrackedBlock** selected,
                           uint32_t capacity, const ReportSelection& selection) {
    uint32_t kept = 0;
    for_each_tracked([&](const TrackedBlock& block) {
        if (selection.keeps(block.entry) && kept < capacity) selected[kept++] = &block;
    });
    std::sort(selected, selected + kept, report_order);
    xml.line("<Allocations Count=\"%d\" />", static_cast<int>(kept));
    uint32_t unknown_ids = 0;
    for (uint32_t group = 0; group < kept;) {
        uint32_t end = group + 1;
        while (end < kept && selected[end]->entry.context_id == selected[group]->entry.context_id) {
            ++end;
        }
        write_context(xml, scratch, selected + group, selected + end, unknown_ids);
        group = end;
    }
    return unknown_ids;
}

void write_counters(XmlWriter& xml) {
    for_each_counter([&](const MemTypeDefs::Counter& counter) {
        xml.line("<Counter Name=\"%s\" Id=\"0x%x\" Count=\"%d\" Peek=\"%d\" />",
                 xml.escape(counter.name, counter_name_shown), static_cast<unsigned>(counter.id),
                 static_cast<int>(counter.count), static_cast<int>(counter.peak));
    });
}

// Where the modules of the written frames lay, so that their symbols can be
// resolved after the run from the files themselves.
void write_modules(XmlWriter& xml, const ModuleMap& modules) {
    modules.for_each_used([&](const ModuleMap::Module& module) {
        xml.line("<Module Name=\"%s\" Base=\"0x%" PRIxPTR "\" Size=\"%" PRIuPTR "\" />",
                 xml.escape(module.path, module_shown), module.base,
                 static_cast<uintptr_t>(module.size));
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

namespace {

// pre: the library lock is held. Every frame of the entries the report lists.
void request_frames(FrameRequest& request, const ReportSelection& selection) {
    for_each_tracked([&](const TrackedBlock& block) {
        if (selection.keeps(block.entry)) request.add(block.entry.frames, frame_count(block.entry));
    });
}

// Without room to list the blocks the report would claim there are none:
// it says so through the sink instead, and leaves no file behind.
void report_incomplete(const char* file_name, uint32_t count) {
    char message[leak_file_name_capacity + 96];
    std::snprintf(message, sizeof(message),
                  "ERROR: No memory to list %u tracked blocks, leak report not written: %s",
                  static_cast<unsigned>(count), file_name);
    log_message(message);
    std::remove(file_name);
    drop_frame_cache();
}

// pre: the library lock is held, and the frames the report needs are
// resolved as far as they will be.
void write_report(const char* file_name, const ReportSelection& selection, ModuleMap& modules) {
    const uint32_t count = track_table_size();
    const TrackedBlock** selected = nullptr;
    if (count != 0) {
        selected = static_cast<const TrackedBlock**>(
            library_alloc(sizeof(TrackedBlock*) * static_cast<size_t>(count)));
        if (selected == nullptr) return report_incomplete(file_name, count);
    }
    auto* scratch = static_cast<ReportScratch*>(library_alloc(sizeof(ReportScratch)));
    void* writer_storage = library_alloc(sizeof(XmlWriter));
    if (scratch == nullptr || writer_storage == nullptr) {
        library_free(selected);
        library_free(scratch);
        library_free(writer_storage);
        return report_incomplete(file_name, count);
    }
    scratch->modules = &modules;
    XmlWriter& xml = *new (writer_storage) XmlWriter(file_name);
    xml.line("<MemTrackReport Version=\"1.0\">");
    xml.level = 1;
    uint32_t unknown_ids = 0;
    if (count == 0) {
        log_message("MemTrack finished. No leaks found");
    } else {
        std::snprintf(scratch->message, sizeof(scratch->message), "Dumping mem leaks to file: %s\n",
                      file_name);
        log_message(scratch->message);
        unknown_ids = write_allocations(xml, *scratch, selected, count, selection);
        library_free(selected);
        // As a lookup would: only while the library runs, not at the exit.
        if (library_running()) {
            for (uint32_t i = 0; i < unknown_ids; ++i) report_error(error_context_not_set);
        }
        write_counters(xml);
        write_modules(xml, modules);
    }
    drop_frame_cache();
    xml.level = 0;
    xml.line("</MemTrackReport>");
    const bool written = xml.close();
    xml.~XmlWriter();
    library_free(writer_storage);
    // A report that did not reach its file must not claim it did.
    if (!written) {
        std::snprintf(scratch->message, sizeof(scratch->message),
                      "ERROR: Cannot create the report file: %s", file_name);
        log_message(scratch->message);
    } else if (count != 0) {
        log_message("Dump finished");
    }
    library_free(scratch);
}

}  // namespace

void write_leak_report(const char* file_name, const ReportSelection& selection) {
    if (file_name == nullptr) return;
    FramePin pin;
    FrameRequest request;
    request_frames(request, selection);
    request.resolve();
    ModuleMap modules;
    modules.take();
    write_report(file_name, selection, modules);
}

void dump_leak_report(const char* file_name, const ReportSelection& selection) {
    if (file_name == nullptr) return;
    // Pinned, the frames resolved in one round outlast a report that another
    // thread finishes (and drops the cache) before this one writes.
    FramePin pin;
    FrameRequest request;
    ModuleMap modules;
    modules.take();
    for (int round = 0;; ++round) {
        {
            LockHolder hold(library_lock());
            request_frames(request, selection);
            if (request.empty() || round == resolve_rounds) {
                write_report(file_name, selection, modules);
                return;
            }
        }
        request.resolve();
        modules.take();
    }
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// Dumps on demand
//
// The host's looks at the running library: the report from a checkpoint, and
// its own call stack through the log sink. Both resolve frames without the
// library lock: the lookups may wait for the system loader's lock, and a
// plug-in that the loader is starting may be waiting for the library lock.
// ---------------------------------------------------------------------------

using namespace tarvex;

void Tarvex::dump_state(const char* file_name, uint32_t min_alloc_id) {
    if (file_name == nullptr || file_name[0] == '\0') return;
    dump_leak_report(file_name, min_alloc_id);
}

void Tarvex::dump_stack_trace() {
    StartPoint start;
    TARVEX_TAKE_START_POINT(start);
    constexpr uint32_t max_dump_frames = 128;
    uintptr_t frames[max_dump_frames];
    const uint32_t captured = capture_stack(start, max_dump_frames, frames);
    FramePin pin;
    resolve_frames(frames, captured);

    ResolvedFrame resolved[max_dump_frames];
    known_frames(frames, captured, resolved);

    LockHolder hold(library_lock());
    log_message("Stack trace dump start");
    char line[4096];
    for (uint32_t i = 0; i < captured; ++i) {
        const ResolvedFrame& frame = resolved[i];
        std::snprintf(line, sizeof(line), "    D:%d A:0x%.8" PRIxPTR " M:%s F:%s S:%s L:%d",
                      static_cast<int>(i), frame.address, frame.module, frame.function,
                      frame.source, static_cast<int>(frame.line));
        log_message(line);
    }
    log_message("Stack trace dump end");
}

// ---------------------------------------------------------------------------
// Scoped leak checks
//
// Scoped leak checks: the blocks of one context allocated since a token and
// still live. A token is a plain checkpoint, compared as dump_state compares
// its minimum, so one token serves every context.
// ---------------------------------------------------------------------------

using namespace tarvex;

uint32_t Tarvex::scope_begin(uint32_t) {
    return get_checkpoint();
}

uint32_t Tarvex::scope_end(uint32_t context_id, uint32_t token, const char* file_name) {
    const ReportSelection selection{token, true, context_id};
    uint32_t live = 0;
    {
        LockHolder hold(library_lock());
        for_each_tracked(
            [&](const TrackedBlock& block) { live += selection.keeps(block.entry) ? 1 : 0; });
    }
    // Written as dump_state writes, with the frames resolved outside the
    // library lock.
    if (live != 0 && file_name != nullptr && file_name[0] != '\0') {
        dump_leak_report(file_name, selection);
    }
    return live;
}
