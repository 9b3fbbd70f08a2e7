// Building one record batch column by column with nanoarrow, for the result
// tables. Columns are described by how to type them and how to fill them.
#pragma once

#include <nanoarrow/nanoarrow.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/error.hpp"
#include "kestrel/event_source.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/value.hpp"

namespace kestrel::arrow {

struct Column {
  std::string name;
  std::function<void(ArrowSchema&)> set_type;
  std::function<void(ArrowArray&, Interrupt&)> fill;  // one value per row, polling per row
};

// `out` becomes a stream of the columns' one batch of `rows` rows, or of no
// batch when `rows` is 0. Fails only when nanoarrow cannot build the arrays.
Result<bool> write_stream(const std::vector<Column>& columns, std::size_t rows,
                          ArrowArrayStream& out, Interrupt interrupt);

// Throws the failure write_stream reports when `code` is not NANOARROW_OK.
void check(int code);

void set_format(ArrowSchema& schema, const char* format);
void set_list_of(ArrowSchema& schema, const char* item_format);
void set_time(ArrowSchema& schema, const TimeColumn& time);      // int64 or timestamp
void set_duration(ArrowSchema& schema, const TimeColumn& time);  // int64 or duration

void append_int(ArrowArray& array, std::int64_t value);
void append_double(ArrowArray& array, double value);
void append_text(ArrowArray& array, std::string_view text);
void append_null(ArrowArray& array);
void finish_list_element(ArrowArray& list);

// Nanoseconds per unit of a datetime column; 1 for integer time.
std::int64_t time_divisor(const TimeColumn& time);

// A column of loose values typed from their kinds: Int -> int64, Float (and
// Ints exactly representable as doubles none of which equals a Float) ->
// float64, Bool -> bool, String -> utf8; any other mix -> utf8 holding each
// value's JSON text, so that distinct values stay distinct. Absent and Null
// values are nulls.
class ValueColumn {
 public:
  explicit ValueColumn(std::span<const Value* const> values);

  const char* format() const noexcept;
  void append(ArrowArray& array, const Value* value) const;

 private:
  enum class Kind : std::uint8_t { Int, Float, Bool, Text, Json };
  Kind kind_ = Kind::Text;
};

// Appends a carried column's cell, written as the column's format.
void append_cell(ArrowArray& array, const Cell& cell, const TextPool& texts);

}  // namespace kestrel::arrow
