#pragma once
// A moment as the history stores it: ISO 8601 local time with milliseconds
// and the UTC offset in force (2026-12-08T19:17:03.250+08:00), which reads
// the way the bench's clock showed it, and the milliseconds since the Unix
// epoch, which orders moments truly when runs under different time zones
// (or across a change of summer time) write to the same file.
#include <cstdint>
#include <ctime>
#include <string>

class TimeStamp {
public:
    // The wall clock now.
    static TimeStamp Now();
    // A moment given in milliseconds since the epoch, shown in the local
    // time zone of this process.
    static TimeStamp FromMs(int64_t ms_since_epoch);

    const std::string& Text() const { return text_; }
    int64_t Ms() const { return ms_; }

    // The "+08:00" that ends a stored time, or "" for a time stored before
    // offsets were (those are local time of the bench that wrote them).
    static std::string OffsetOf(const std::string& stored_text);
    // Local date and time fields (a record's own time stamp) in the stored
    // form, with the offset given: the record's time and the moment it was
    // saved are taken by the same clock in the same zone.
    static std::string FieldsText(const std::tm& local_fields, const std::string& offset);

private:
    std::string text_;
    int64_t ms_ = 0;
};
