#include "outputs/PluginLog.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "basics/TextEscape.h"
#include "outputs/RunText.h"

PluginLog::PluginLog(const std::string& path) : file_(path, std::ios::app) {
    if (!file_) throw std::runtime_error("cannot write the plug-in log " + path + ": " + std::strerror(errno));
}

void PluginLog::OnEvent(const RunEvent& event) {
    if (const auto* line = std::get_if<run::PluginLine>(&event))
        file_ << runtext::Iso(run::WallClock::now()) << " " << TextEscape::Line(line->line) << std::endl;
}
