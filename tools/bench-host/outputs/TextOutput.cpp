#include "outputs/TextOutput.h"

#include "basics/TextEscape.h"
#include "outputs/RunText.h"

namespace {

// Every line as one line: a note, a name, a port path or a plug-in's line
// carries no line end of its own that could start a forged line here or in
// the journal.
void Say(std::ostream& to, const std::string& line) { to << TextEscape::Line(line) << '\n'; }

}  // namespace

void TextOutput::OnEvent(const RunEvent& event) {
    if (const auto note = runtext::Note(event)) {
        // Said where it can still be read.
        if (std::holds_alternative<run::OutputLost>(event)) {
            Say(err_, "bench-host: " + *note);
            err_.flush();
            return;
        }
        Say(out_, runtext::Clock(false) + " " + *note);
        out_.flush();
        return;
    }
    std::visit(Overloaded{
                   [&](const run::RunStarted& e) { Say(out_, runtext::Clock(false) + " " + runtext::Started(e)); },
                   [&](const run::SetupFailed& e) {
                       Say(err_, "bench-host: " + e.why);
                       err_.flush();
                   },
                   [&](const run::RoundCompleted& e) { Say(out_, runtext::Round(e)); },
                   [&](const run::PluginLine& e) { PluginLine(e.line); },
                   [&](const run::Trace& e) {
                       if (trace_) Say(out_, runtext::Trace(e));
                   },
                   [&](const run::RunEnded& e) {
                       SayRepeats();
                       for (const auto& line : runtext::Summary(e)) Say(out_, line);
                       out_.flush();
                       for (const auto& line : runtext::Complaints(e)) Say(err_, line);
                       err_.flush();
                   },
                   [](const auto&) {},
               },
               event);
    out_.flush();
}

void TextOutput::PluginLine(const std::string& line) {
    const auto now = std::chrono::steady_clock::now();
    if (line == last_plugin_line_) {
        ++repeats_;
        if (now - repeats_said_at_ >= kRepeatsSaidEvery) SayRepeats();
        return;
    }
    SayRepeats();
    Say(out_, "plug-in: " + line);
    out_.flush();
    last_plugin_line_ = line;
    repeats_said_at_ = now;
}

void TextOutput::SayRepeats() {
    repeats_said_at_ = std::chrono::steady_clock::now();
    if (repeats_ == 0) return;
    out_ << "plug-in: (the same line " << repeats_ << (repeats_ == 1 ? " more time)" : " more times)") << std::endl;
    repeats_ = 0;
}
