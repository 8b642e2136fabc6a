#include "outputs/TextOutput.h"

#include "outputs/RunText.h"

void TextOutput::OnEvent(const RunEvent& event) {
    if (const auto note = runtext::Note(event)) {
        // Said where it can still be read.
        if (std::holds_alternative<run::OutputLost>(event)) {
            err_ << "bench-host: " << *note << std::endl;
            return;
        }
        out_ << runtext::Clock(false) << " " << *note << std::endl;
        return;
    }
    std::visit(Overloaded{
                   [&](const run::RunStarted& e) {
                       out_ << runtext::Clock(false) << " " << runtext::Started(e) << std::endl;
                   },
                   [&](const run::SetupFailed& e) { err_ << "bench-host: " << e.why << std::endl; },
                   [&](const run::RoundCompleted& e) { out_ << runtext::Round(e) << std::endl; },
                   [&](const run::PluginLine& e) { PluginLine(e.line); },
                   [&](const run::Trace& e) {
                       if (trace_) out_ << runtext::Trace(e) << std::endl;
                   },
                   [&](const run::RunEnded& e) {
                       SayRepeats();
                       for (const auto& line : runtext::Summary(e)) out_ << line << "\n";
                       out_.flush();
                       for (const auto& line : runtext::Complaints(e)) err_ << line << std::endl;
                   },
                   [](const auto&) {},
               },
               event);
}

void TextOutput::PluginLine(const std::string& line) {
    const auto now = std::chrono::steady_clock::now();
    if (line == last_plugin_line_) {
        ++repeats_;
        if (now - repeats_said_at_ >= kRepeatsSaidEvery) SayRepeats();
        return;
    }
    SayRepeats();
    out_ << "plug-in: " << line << std::endl;
    last_plugin_line_ = line;
    repeats_said_at_ = now;
}

void TextOutput::SayRepeats() {
    repeats_said_at_ = std::chrono::steady_clock::now();
    if (repeats_ == 0) return;
    out_ << "plug-in: (the same line " << repeats_ << (repeats_ == 1 ? " more time)" : " more times)") << std::endl;
    repeats_ = 0;
}
