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
                   [&](const run::PluginLine& e) { out_ << "plug-in: " << e.line << std::endl; },
                   [&](const run::Trace& e) {
                       if (trace_) out_ << runtext::Trace(e) << std::endl;
                   },
                   [&](const run::RunEnded& e) {
                       for (const auto& line : runtext::Summary(e)) out_ << line << "\n";
                       out_.flush();
                       for (const auto& line : runtext::Complaints(e)) err_ << line << std::endl;
                   },
                   [](const auto&) {},
               },
               event);
}
