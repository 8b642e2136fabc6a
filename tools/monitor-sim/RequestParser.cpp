#include "RequestParser.h"

#include "protocol/MonitorProtocol.h"

namespace monitor_sim {

namespace {

constexpr size_t kRequestLen = monitor::kRequestLen;

}  // namespace

std::vector<RequestParser::Request> RequestParser::Feed(const uint8_t* data, size_t len) {
    buf_.insert(buf_.end(), data, data + len);
    std::vector<Request> found;
    const size_t n = buf_.size();
    size_t pos = 0;
    for (;;) {
        size_t lead = pos;
        while (lead + 1 < n && !(buf_[lead] == monitor::kLeadByte && buf_[lead + 1] == monitor::kLeadByte)) ++lead;
        if (lead + 1 >= n) {
            // No lead pair; a last lone lead byte may still become one.
            const size_t keep = (n > pos && buf_[n - 1] == monitor::kLeadByte) ? n - 1 : n;
            Skip(pos, keep);
            pos = keep;
            break;
        }
        Skip(pos, lead);
        pos = lead;
        if (n - pos < kRequestLen) break;
        Request request;
        if (monitor::ParseRequest(buf_.data() + pos, static_cast<int>(kRequestLen), &request.addr, &request.command)) {
            found.push_back(request);
            pos += kRequestLen;
        } else {
            // Not a frame from this lead pair: try the next byte, which may be
            // the first of a real pair (FE FE FE addr ...).
            Skip(pos, pos + 1);
            pos += 1;
        }
    }
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos));
    return found;
}

std::vector<uint8_t> RequestParser::TakeSkipped() {
    std::vector<uint8_t> out;
    out.swap(skipped_);
    return out;
}

void RequestParser::Skip(size_t from, size_t to) {
    if (to <= from) return;
    skipped_.insert(skipped_.end(), buf_.begin() + static_cast<std::ptrdiff_t>(from),
                    buf_.begin() + static_cast<std::ptrdiff_t>(to));
    skipped_total_ += to - from;
}

}  // namespace monitor_sim
