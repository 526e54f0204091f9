// Collects what the library hands its log sink, for the duration of a test.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tarvex/tarvex.h"

class LogCapture {
public:
    LogCapture() {
        std::lock_guard<std::mutex> hold(mutex());
        lines().clear();
        previous_ = Tarvex::the_config.log_func;
        Tarvex::the_config.log_func = &LogCapture::sink;
    }
    ~LogCapture() { Tarvex::the_config.log_func = previous_; }

    std::vector<std::pair<std::string, bool>> take() {
        std::lock_guard<std::mutex> hold(mutex());
        auto taken = std::move(lines());
        lines().clear();
        return taken;
    }

    size_t count(const std::string& text) {
        std::lock_guard<std::mutex> hold(mutex());
        size_t n = 0;
        for (const auto& line : lines()) n += line.first == text;
        return n;
    }

private:
    static void sink(const char* text, bool flag) {
        std::lock_guard<std::mutex> hold(mutex());
        lines().emplace_back(text, flag);
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::pair<std::string, bool>>& lines() {
        static std::vector<std::pair<std::string, bool>> l;
        return l;
    }
    Tarvex::LogFunc previous_;
};

// Swaps the dispatch table for one test and puts the original back after it.
class DispatchSwap {
public:
    DispatchSwap() : saved_(Tarvex::my_func_table) {}
    ~DispatchSwap() { Tarvex::my_func_table = saved_; }
    const Tarvex::FuncTable& original() const { return saved_; }

private:
    Tarvex::FuncTable saved_;
};
