// ISO-8601 parsing for timestamp columns given as text. Only the forms that
// tables and CSV exports commonly hold are accepted; anything else is
// Malformed rather than guessed at. The calendar arithmetic is std::chrono's.
#include "arrow/iso8601.hpp"

#include <chrono>
#include <cstddef>

namespace kestrel {

namespace {

class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool done() const noexcept { return at_ == text_.size(); }
  bool next_is(char ch) const noexcept { return at_ < text_.size() && text_[at_] == ch; }
  bool skip(char ch) noexcept {
    if (!next_is(ch)) return false;
    ++at_;
    return true;
  }
  char peek() const noexcept { return done() ? '\0' : text_[at_]; }

  // Exactly `count` digits as a number.
  bool digits(std::size_t count, int& out) noexcept {
    int value = 0;
    for (std::size_t i = 0; i < count; ++i, ++at_) {
      if (at_ >= text_.size() || text_[at_] < '0' || text_[at_] > '9') return false;
      value = value * 10 + (text_[at_] - '0');
    }
    out = value;
    return true;
  }

  // One to nine digits as nanoseconds.
  bool fraction(std::int64_t& out) noexcept {
    std::int64_t value = 0;
    std::size_t count = 0;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
      if (++count > 9) return false;
      value = value * 10 + (text_[at_++] - '0');
    }
    if (count == 0) return false;
    for (; count < 9; ++count) value *= 10;
    out = value;
    return true;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

struct Clock {
  int hour = 0, minute = 0, second = 0;
  std::int64_t fraction = 0;
  int offset_seconds = 0;
  bool has_offset = false;
};

bool read_offset(Cursor& in, Clock& clock) {
  if (in.skip('Z') || in.skip('z')) {
    clock.has_offset = true;
    return true;
  }
  const char sign = in.peek();
  if (sign != '+' && sign != '-') return true;
  in.skip(sign);
  int hours = 0, minutes = 0;
  if (!in.digits(2, hours) || hours > 23) return false;
  if (in.skip(':') && (!in.digits(2, minutes) || minutes > 59)) return false;
  clock.offset_seconds = (sign == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
  clock.has_offset = true;
  return true;
}

bool read_clock(Cursor& in, Clock& clock) {
  if (!in.digits(2, clock.hour) || clock.hour > 23 || !in.skip(':') ||
      !in.digits(2, clock.minute) || clock.minute > 59) {
    return false;
  }
  if (in.skip(':')) {
    if (!in.digits(2, clock.second) || clock.second > 59) return false;
    if (in.skip('.') && !in.fraction(clock.fraction)) return false;
  }
  return read_offset(in, clock);
}

}  // namespace

IsoInstant parse_iso8601(std::string_view text) noexcept {
  IsoInstant instant;
  Cursor in(text);
  int year = 0, month = 0, day = 0;
  if (!in.digits(4, year) || !in.skip('-') || !in.digits(2, month) || !in.skip('-') ||
      !in.digits(2, day)) {
    return instant;
  }
  const std::chrono::year_month_day date{std::chrono::year{year},
                                         std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok()) return instant;
  Clock clock;
  if (!in.done()) {
    if (!(in.skip('T') || in.skip('t') || in.skip(' ')) || !read_clock(in, clock) || !in.done()) {
      return instant;
    }
  }
  const std::int64_t days = std::chrono::sys_days{date}.time_since_epoch().count();
  // At most 10^4 years of seconds: no overflow before the scaling below.
  const std::int64_t seconds =
      days * 86400 + clock.hour * 3600 + clock.minute * 60 + clock.second - clock.offset_seconds;
  std::int64_t nanoseconds = 0;
  if (__builtin_mul_overflow(seconds, std::int64_t{1'000'000'000}, &nanoseconds) ||
      __builtin_add_overflow(nanoseconds, clock.fraction, &nanoseconds)) {
    instant.status = IsoInstant::Status::OutOfRange;
    return instant;
  }
  instant.status = IsoInstant::Status::Ok;
  instant.nanoseconds = nanoseconds;
  instant.has_offset = clock.has_offset;
  return instant;
}

}  // namespace kestrel
