// Reading an Arrow C stream into an EventTable.
//
// The schema is checked once: which columns are used, and how each is read
// (its Family). Every batch is then read column by column through nanoarrow's
// array views, straight from the buffers: texts are looked up in the table's
// pool as views and copied only when new, and a dictionary's entries are
// interned once per batch. Rows are gathered in input order in a table
// builder, which puts them in canonical order at the end. Failures deep in
// the loops throw ReadFailure, which read_arrow_events (or read_arrow_texts,
// for one text column) turns into the Error it returns.
//
// Over several threads, each batch is cut into pieces, a range of rows of one
// column each (the timestamps whole, as their reader keeps state), and
// workers read them straight into their places in the table. A shared pool
// would need a lock per text, so each piece interns into a pool of its own;
// then, in the order one thread reads the pieces, each piece's texts are
// interned into the table's pool, which thus meets every text in the same
// order as on one thread and gives the same ids, and the workers rewrite
// the pieces' ids. The cost is that second pass over the text cells and one
// look-up per distinct text per piece. A failing piece keeps its message;
// the first in that order is reported, the one a single thread meets first.
#include "kestrel/arrow_input.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include "arrow/iso8601.hpp"
#include "kestrel/run_options.hpp"
#include "kestrel/utf8.hpp"
#include "runtime/shares.hpp"
#include "table/table_builder.hpp"

namespace kestrel {

namespace {

struct ReadFailure {
  Error error;
};

[[noreturn]] void fail(Error error) { throw ReadFailure{std::move(error)}; }
[[noreturn]] void fail(std::string message) { fail(Error{std::move(message)}); }

[[noreturn]] void fail_wrong_type(std::string message) {
  fail(Error{std::move(message), ErrorKind::WrongType});
}

Error naming_row(std::string text, std::size_t row) {
  return error_naming(std::move(text), ErrorNumber::Counts::Rows, row);
}

std::string quoted_name(std::string_view name) { return "`" + std::string(name) + "`"; }

// How a column's values are read, from the type of its values (a
// dictionary's value type for a dictionary column).
enum class Family : std::uint8_t { Text, Int, UInt64, Float, Bool, Temporal, Null, Unsupported };

Family family_of(ArrowType type) {
  switch (type) {
    case NANOARROW_TYPE_STRING:
    case NANOARROW_TYPE_LARGE_STRING:
    case NANOARROW_TYPE_STRING_VIEW: return Family::Text;
    case NANOARROW_TYPE_INT8:
    case NANOARROW_TYPE_INT16:
    case NANOARROW_TYPE_INT32:
    case NANOARROW_TYPE_INT64:
    case NANOARROW_TYPE_UINT8:
    case NANOARROW_TYPE_UINT16:
    case NANOARROW_TYPE_UINT32: return Family::Int;
    case NANOARROW_TYPE_UINT64: return Family::UInt64;
    case NANOARROW_TYPE_HALF_FLOAT:
    case NANOARROW_TYPE_FLOAT:
    case NANOARROW_TYPE_DOUBLE: return Family::Float;
    case NANOARROW_TYPE_BOOL: return Family::Bool;
    case NANOARROW_TYPE_TIMESTAMP:
    case NANOARROW_TYPE_DATE32:
    case NANOARROW_TYPE_DATE64:
    case NANOARROW_TYPE_DURATION:
    case NANOARROW_TYPE_TIME32:
    case NANOARROW_TYPE_TIME64: return Family::Temporal;
    case NANOARROW_TYPE_NA: return Family::Null;
    default: return Family::Unsupported;
  }
}

struct ColumnInfo {
  std::string name;
  std::size_t child = 0;         // index among the batch's columns
  ArrowSchemaView values{};      // the dictionary's values for a dictionary column
  const char* format = nullptr;  // the values' own format
  Family family = Family::Unsupported;
  bool dictionary = false;
};

std::int64_t nanoseconds_per(ArrowTimeUnit unit) {
  switch (unit) {
    case NANOARROW_TIME_UNIT_SECOND: return 1'000'000'000;
    case NANOARROW_TIME_UNIT_MILLI: return 1'000'000;
    case NANOARROW_TIME_UNIT_MICRO: return 1'000;
    case NANOARROW_TIME_UNIT_NANO: return 1;
  }
  return 1;
}

// The stream's schema, released on every path.
class StreamSchema {
 public:
  explicit StreamSchema(ArrowArrayStream& stream) {
    if (ArrowArrayStreamGetSchema(&stream, &schema_, nullptr) != NANOARROW_OK) {
      schema_.release = nullptr;
      fail("could not read the schema" + producer_detail(stream));
    }
    ArrowError error;
    if (ArrowSchemaViewInit(&view_, &schema_, &error) != NANOARROW_OK) {
      fail(std::string("the stream's schema is invalid: ") + error.message);
    }
  }
  StreamSchema(const StreamSchema&) = delete;
  StreamSchema& operator=(const StreamSchema&) = delete;
  ~StreamSchema() {
    if (schema_.release != nullptr) ArrowSchemaRelease(&schema_);
  }

  const ArrowSchema& schema() const noexcept { return schema_; }

  void require_record_batches() const {
    if (view_.type != NANOARROW_TYPE_STRUCT) {
      fail(std::string("the stream must hold record batches (a struct type), not ") +
           ArrowTypeString(view_.type));
    }
  }

  // ": " and the producer's own message, if it gave one: nanoarrow's
  // wrapper puts a placeholder in place of a missing message.
  static std::string producer_detail(ArrowArrayStream& stream) {
    const char* detail = stream.get_last_error(&stream);
    if (detail == nullptr || *detail == '\0') return "";
    return std::string(": ") + detail;
  }

 private:
  ArrowSchema schema_{};
  ArrowSchemaView view_{};
};

class Batch {
 public:
  Batch() { array_.release = nullptr; }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;
  ~Batch() {
    if (array_.release != nullptr) ArrowArrayRelease(&array_);
  }
  ArrowArray* get() noexcept { return &array_; }
  bool ended() const noexcept { return array_.release == nullptr; }

 private:
  ArrowArray array_;
};

class BatchView {
 public:
  explicit BatchView(const ArrowSchema& schema) {
    ArrowError error;
    if (ArrowArrayViewInitFromSchema(&view_, &schema, &error) != NANOARROW_OK) {
      ArrowArrayViewReset(&view_);
      fail(std::string("the stream's schema cannot be read: ") + error.message);
    }
  }
  BatchView(const BatchView&) = delete;
  BatchView& operator=(const BatchView&) = delete;
  ~BatchView() { ArrowArrayViewReset(&view_); }

  void set(const ArrowArray& array, std::size_t first_row) {
    ArrowError error;
    if (ArrowArrayViewSetArray(&view_, &array, &error) != NANOARROW_OK) {
      fail(naming_row("the batch starting at row ", first_row) + " is invalid: " + error.message);
    }
  }
  const ArrowArrayView& root() const noexcept { return view_; }

 private:
  ArrowArrayView view_;
};

ColumnInfo describe_column(const ArrowSchema& column, const std::string& name,
                           std::size_t child = 0) {
  ColumnInfo info;
  info.name = name;
  info.child = child;
  info.dictionary = column.dictionary != nullptr;
  const ArrowSchema* values = info.dictionary ? column.dictionary : &column;
  ArrowError error;
  if (ArrowSchemaViewInit(&info.values, values, &error) != NANOARROW_OK) {
    fail("column " + quoted_name(name) + " has an unreadable type: " + error.message);
  }
  info.format = values->format;
  info.family = family_of(info.values.type);
  return info;
}

// The schema's columns: names checked, used ones described.
class Columns {
 public:
  explicit Columns(const ArrowSchema& schema) : schema_(schema) {
    for (std::int64_t i = 0; i < schema.n_children; ++i) {
      const char* name = schema.children[i]->name;
      names_.emplace_back(name == nullptr ? "" : name);
      if (!is_utf8(names_.back())) {
        fail("the name of column " + std::to_string(i) + " is not valid UTF-8");
      }
    }
  }

  const std::vector<std::string>& names() const noexcept { return names_; }

  void require(const std::string& name) const {
    const std::size_t count =
        static_cast<std::size_t>(std::count(names_.begin(), names_.end(), name));
    if (count == 1) return;
    if (count > 1) fail("the column name " + quoted_name(name) + " appears more than once");
    std::string listed;
    for (std::size_t i = 0; i < names_.size() && i < 20; ++i) {
      listed += (i == 0 ? "" : ", ") + quoted_name(names_[i]);
    }
    if (listed.empty()) listed = "none";
    if (names_.size() > 20) listed += " and " + std::to_string(names_.size() - 20) + " more";
    fail("missing column " + quoted_name(name) + "; the columns are " + listed);
  }

  ColumnInfo describe(const std::string& name) const {
    require(name);
    const auto child =
        static_cast<std::size_t>(std::find(names_.begin(), names_.end(), name) - names_.begin());
    return describe_column(*schema_.children[child], name, child);
  }

 private:
  const ArrowSchema& schema_;
  std::vector<std::string> names_;
};

std::string type_text(const ColumnInfo& info) {
  std::string text = ArrowTypeString(info.values.type);
  return info.dictionary ? "dictionary of " + text : text;
}

// Equality of short texts without a call into memcmp, which dominated
// reading key columns: up to 16 bytes are two overlapping word loads each.
template <class Word>
bool same_ends(const char* a, const char* b, std::size_t size) noexcept {
  Word a_head, b_head, a_tail, b_tail;
  std::memcpy(&a_head, a, sizeof(Word));
  std::memcpy(&b_head, b, sizeof(Word));
  std::memcpy(&a_tail, a + size - sizeof(Word), sizeof(Word));
  std::memcpy(&b_tail, b + size - sizeof(Word), sizeof(Word));
  return ((a_head ^ b_head) | (a_tail ^ b_tail)) == 0;
}

bool same_text(std::string_view a, std::string_view b) noexcept {
  const std::size_t size = a.size();
  if (size != b.size()) return false;
  if (size > 16) return a == b;
  if (size >= 8) return same_ends<std::uint64_t>(a.data(), b.data(), size);
  if (size >= 4) return same_ends<std::uint32_t>(a.data(), b.data(), size);
  for (std::size_t i = 0; i < size; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Whether text `at` (before the view's own offset) lies inside its buffers:
// nanoarrow checks only a column's first and last offsets, and neither the
// sizes nor the buffer numbers of a string view.
bool text_in_bounds(const ArrowArrayView& view, std::int64_t at) {
  at += view.offset;
  const ArrowBufferView& slots = view.buffer_views[1];
  const auto within = [&](std::int64_t begin, std::int64_t end, std::int64_t size) {
    return 0 <= begin && begin <= end && end <= size;
  };
  switch (view.storage_type) {
    case NANOARROW_TYPE_STRING:
      return within(slots.data.as_int32[at], slots.data.as_int32[at + 1],
                    view.buffer_views[2].size_bytes);
    case NANOARROW_TYPE_LARGE_STRING:
      return within(slots.data.as_int64[at], slots.data.as_int64[at + 1],
                    view.buffer_views[2].size_bytes);
    case NANOARROW_TYPE_STRING_VIEW: {
      const ArrowBinaryView& text = slots.data.as_binary_view[at];
      if (text.inlined.size <= NANOARROW_BINARY_VIEW_INLINE_SIZE) return text.inlined.size >= 0;
      const std::int32_t buffer = text.ref.buffer_index;
      return 0 <= buffer && buffer < view.n_variadic_buffers &&
             within(text.ref.offset, std::int64_t{text.ref.offset} + text.inlined.size,
                    view.variadic_buffer_sizes[buffer]);
    }
    default: return false;
  }
}

// One column of one batch.
class ColumnCursor {
 public:
  // The column's array, its rows starting `base` rows in (a batch's own
  // offset), row 0 being row `first_row` of the input.
  ColumnCursor(const ColumnInfo& info, const ArrowArrayView& column, std::int64_t base,
               std::size_t first_row)
      : info_(info),
        view_(&column),
        values_(info.dictionary ? view_->dictionary : view_),
        base_(base),
        first_row_(first_row),
        may_be_null_(view_->null_count != 0 || info.family == Family::Null) {
    if (info.dictionary) dictionary_ids_.assign(static_cast<std::size_t>(values_->length), kUnseen);
  }

  // The column of a batch.
  ColumnCursor(const ColumnInfo& info, const ArrowArrayView& root, std::size_t first_row)
      : ColumnCursor(info, *root.children[info.child], root.offset, first_row) {}

  std::size_t row(std::int64_t i) const noexcept {
    return first_row_ + static_cast<std::size_t>(i);
  }

  Error at_row(std::int64_t i) const {
    return naming_row("column " + quoted_name(info_.name) + " row ", row(i));
  }

  bool is_null(std::int64_t i) const {
    if (may_be_null_ && ArrowArrayViewIsNull(view_, base_ + i)) return true;
    return info_.dictionary && ArrowArrayViewIsNull(values_, value_index(i));
  }

  std::string_view raw_text(std::int64_t i) const {
    const std::int64_t at = value_index(i);
    if (!text_in_bounds(*values_, at)) fail(at_row(i) + ": the text lies outside its buffers");
    const ArrowStringView text = ArrowArrayViewGetStringUnsafe(values_, at);
    return {text.data, static_cast<std::size_t>(text.size_bytes)};
  }

  TextId text(std::int64_t i, TextPool& pool) {
    if (!info_.dictionary) {
      // Runs of one text are the common case (tables sorted by partition),
      // and so are columns of a few texts (event types): both are answered
      // without hashing, the second from a few recent texts picked by
      // length and last byte.
      const std::string_view text = raw_text(i);
      if (last_id_ != kUnseen && same_text(text, last_text_)) return last_id_;
      Recent& recent = recent_[text.empty() ? 0 : (text.size() * 31 + text.back()) % kRecent];
      if (recent.id == kUnseen || !same_text(recent.text, text)) {
        recent = {text, intern(text, i, pool)};
      }
      last_text_ = text;
      last_id_ = recent.id;
      return last_id_;
    }
    TextId& id = dictionary_ids_[static_cast<std::size_t>(value_index(i))];
    if (id == kUnseen) id = intern(raw_text(i), i, pool);
    return id;
  }

  std::int64_t integer(std::int64_t i) const {
    const std::int64_t at = value_index(i);
    if (info_.family != Family::UInt64) return ArrowArrayViewGetIntUnsafe(values_, at);
    const std::uint64_t value = ArrowArrayViewGetUIntUnsafe(values_, at);
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      fail(at_row(i) + ": " + std::to_string(value) +
           " is out of range for a 64-bit signed integer");
    }
    return static_cast<std::int64_t>(value);
  }

  // The integer's decimal text, interned.
  TextId integer_text(std::int64_t i, TextPool& pool) const {
    char buffer[24];
    const std::int64_t at = value_index(i);
    const auto written = info_.family == Family::UInt64
                             ? std::to_chars(buffer, buffer + sizeof buffer,
                                             ArrowArrayViewGetUIntUnsafe(values_, at))
                             : std::to_chars(buffer, buffer + sizeof buffer,
                                             ArrowArrayViewGetIntUnsafe(values_, at));
    return pool.intern(std::string_view(buffer, static_cast<std::size_t>(written.ptr - buffer)));
  }

  Cell cell(std::int64_t i, TextPool& pool) {
    if (is_null(i)) return Cell::null();
    switch (info_.family) {
      case Family::Text: return Cell::of_text(text(i, pool));
      case Family::Int:
      case Family::UInt64:
      case Family::Temporal: return Cell::of_int(integer(i));
      case Family::Float:
        return Cell::of_float(ArrowArrayViewGetDoubleUnsafe(values_, value_index(i)));
      case Family::Bool:
        return Cell::of_bool(ArrowArrayViewGetIntUnsafe(values_, value_index(i)) != 0);
      case Family::Null:
      case Family::Unsupported: break;
    }
    return Cell::null();
  }

 private:
  static constexpr TextId kUnseen = std::numeric_limits<TextId>::max();

  // Where row i's value sits in values_, before values_'s own offset.
  std::int64_t value_index(std::int64_t i) const {
    if (!info_.dictionary) return base_ + i;
    const std::int64_t index = ArrowArrayViewGetIntUnsafe(view_, base_ + i);
    if (index < 0 || index >= values_->length) {
      fail(at_row(i) + ": dictionary index " + std::to_string(index) + " is out of range");
    }
    return index;
  }

  TextId intern(std::string_view text, std::int64_t i, TextPool& pool) const {
    if (const std::optional<TextId> id = pool.find(text)) return *id;
    if (!is_utf8(text)) fail(at_row(i) + ": the text is not valid UTF-8");
    return pool.intern(text);
  }

  const ColumnInfo& info_;
  const ArrowArrayView* view_;
  const ArrowArrayView* values_;
  std::int64_t base_;
  std::size_t first_row_;
  bool may_be_null_;  // a null count of -1 (unknown) counts as maybe
  std::vector<TextId> dictionary_ids_;
  std::string_view last_text_;
  TextId last_id_ = kUnseen;
  struct Recent {
    std::string_view text;
    TextId id = kUnseen;
  };
  static constexpr std::size_t kRecent = 16;
  std::array<Recent, kRecent> recent_{};
};

// A short, printable excerpt of a cell's text for a message.
std::string excerpt(std::string_view text) {
  if (!is_utf8(text)) return "(text that is not valid UTF-8)";
  constexpr std::size_t kLimit = 60;
  if (text.size() <= kLimit) return "`" + std::string(text) + "`";
  std::size_t end = 0;
  while (end < kLimit) end += decode_utf8(text.substr(end)).end;
  return "`" + std::string(text.substr(0, end)) + "...`";
}

constexpr std::string_view kNanosecondRange =
    " is out of range (64-bit nanoseconds span 1677 to 2262)";

// Reads the ts column as nanoseconds (datetimes) or as given (integers).
class TimeReader {
 public:
  explicit TimeReader(const ColumnInfo& info) : info_(info) {
    switch (info.family) {
      case Family::Int:
      case Family::UInt64:
      case Family::Null: time_.kind = TimeColumn::Kind::Integer; break;
      case Family::Text: time_ = {TimeColumn::Kind::Datetime, "ns", ""}; break;
      case Family::Temporal: describe_temporal(); break;
      default: refuse();
    }
  }

  std::int64_t read(ColumnCursor& cursor, std::int64_t i) {
    switch (info_.family) {
      case Family::Text: return from_text(cursor, i);
      case Family::Temporal: return scaled(cursor, i);
      default: return cursor.integer(i);
    }
  }

  const TimeColumn& time() const noexcept { return time_; }

 private:
  void describe_temporal() {
    time_.kind = TimeColumn::Kind::Datetime;
    switch (info_.values.type) {
      case NANOARROW_TYPE_TIMESTAMP:
        time_.unit = ArrowTimeUnitString(info_.values.time_unit);
        time_.timezone = info_.values.timezone == nullptr ? "" : info_.values.timezone;
        factor_ = nanoseconds_per(info_.values.time_unit);
        break;
      // Days are written back as seconds, the coarsest unit results have.
      case NANOARROW_TYPE_DATE32:
        time_.unit = "s";
        factor_ = 86'400'000'000'000;
        break;
      case NANOARROW_TYPE_DATE64:
        time_.unit = "ms";
        factor_ = 1'000'000;
        break;
      default: refuse();
    }
  }

  [[noreturn]] void refuse() const {
    fail_wrong_type("column " + quoted_name(info_.name) + " has type " + type_text(info_) +
                    "; timestamps must be integers, timestamps, dates or ISO-8601 text");
  }

  std::int64_t scaled(ColumnCursor& cursor, std::int64_t i) const {
    const std::int64_t value = cursor.integer(i);
    std::int64_t nanoseconds = 0;
    if (__builtin_mul_overflow(value, factor_, &nanoseconds)) {
      const std::string unit = info_.values.type == NANOARROW_TYPE_DATE32 ? "days" : time_.unit;
      fail(cursor.at_row(i) + ": " + std::to_string(value) + " " + unit + " since the epoch" +
           std::string(kNanosecondRange));
    }
    return nanoseconds;
  }

  std::int64_t from_text(ColumnCursor& cursor, std::int64_t i) {
    const std::string_view text = cursor.raw_text(i);
    const IsoInstant instant = parse_iso8601(text);
    switch (instant.status) {
      case IsoInstant::Status::Ok: break;
      case IsoInstant::Status::Malformed:
        fail(cursor.at_row(i) + ": " + excerpt(text) +
             " is not an ISO-8601 date or time (YYYY-MM-DD[THH:MM[:SS[.fraction]]][Z|+HH:MM])");
      case IsoInstant::Status::OutOfRange:
        fail(cursor.at_row(i) + ": " + excerpt(text) + std::string(kNanosecondRange));
    }
    if (instant.has_offset) time_.timezone = "UTC";
    return instant.nanoseconds;
  }

  const ColumnInfo& info_;
  TimeColumn time_;
  std::int64_t factor_ = 1;
};

// A column of type null is a key column null at its first row, if it has
// one: with no rows, as made from empty lists, it is no events.
void check_key_family(const ColumnInfo& info) {
  if (info.family == Family::Text || info.family == Family::Int || info.family == Family::UInt64 ||
      info.family == Family::Null) {
    return;
  }
  fail_wrong_type("column " + quoted_name(info.name) + " has type " + type_text(info) +
                  "; it must hold text or integers");
}

void check_cell_family(const ColumnInfo& info, bool all_columns) {
  if (info.family != Family::Unsupported) return;
  std::string message = "column " + quoted_name(info.name) + " has type " + type_text(info) +
                        ", which cannot be an attribute";
  if (all_columns) message += "; name the attribute columns to keep with attributes=";
  fail_wrong_type(std::move(message));
}

std::string carried_format(const ColumnInfo& info) {
  switch (info.family) {
    case Family::Text: return "u";
    case Family::Int:
    case Family::UInt64: return "l";
    case Family::Float: return "g";
    case Family::Bool: return "b";
    case Family::Temporal: return info.format;
    case Family::Null: return "n";
    case Family::Unsupported: break;
  }
  throw InternalError("carried_format: unsupported column");
}

// Everything read, in input order.
struct Gathered {
  TableBuilder builder;
  TimeColumn time;
  std::vector<CarriedColumn> carried;
};

class Reader {
 public:
  Reader(const ArrowSchema& schema, const ArrowColumns& wanted) {
    const Columns columns(schema);
    for (const std::string* name : {&wanted.partition, &wanted.ts, &wanted.typ})
      columns.require(*name);
    const std::vector<std::string>& chosen =
        wanted.attributes ? *wanted.attributes : columns.names();
    for (const std::string& name : chosen) columns.require(name);
    for (const std::string& name : wanted.carry) columns.require(name);
    if (wanted.partition == wanted.ts || wanted.partition == wanted.typ ||
        wanted.ts == wanted.typ) {
      fail("the partition, ts and typ columns must be three different columns");
    }
    partition_ = columns.describe(wanted.partition);
    typ_ = columns.describe(wanted.typ);
    ts_ = columns.describe(wanted.ts);
    check_key_family(partition_);
    check_key_family(typ_);
    time_.emplace(ts_);
    for (const std::string& name : chosen) {
      if (name == wanted.partition || name == wanted.ts || name == wanted.typ) continue;
      if (std::any_of(attributes_.begin(), attributes_.end(),
                      [&](const ColumnInfo& info) { return info.name == name; })) {
        continue;
      }
      attributes_.push_back(columns.describe(name));
      check_cell_family(attributes_.back(), !wanted.attributes);
      gathered_.builder.add_column(name, 0);
    }
    for (const std::string& name : wanted.carry) {
      if (std::any_of(carry_.begin(), carry_.end(),
                      [&](const ColumnInfo& info) { return info.name == name; })) {
        continue;
      }
      carry_.push_back(columns.describe(name));
      check_cell_family(carry_.back(), false);
      gathered_.carried.push_back({name, carried_format(carry_.back()), {}});
    }
  }

  // One batch, on the calling thread.
  void read(const ArrowArrayView& root, Interrupt& interrupt) {
    const std::size_t first = begin_batch(root);
    TextPool& pool = table().texts;
    for (const Piece& piece : pieces(root.length, 1))
      read_piece(piece, root, first, pool, interrupt);
    rows_ += static_cast<std::size_t>(root.length);
  }

  // One batch, its columns cut into pieces read on up to options.threads
  // workers.
  void read(const ArrowArrayView& root, const RunOptions& options) {
    const std::size_t first = begin_batch(root, options);
    std::vector<Piece> work = pieces(root.length, options.threads);
    const std::size_t workers = std::clamp<std::size_t>(options.threads, 1, work.size());
    std::atomic<std::size_t> next = 0;
    const auto each_piece = [&](const auto& body) {
      return [&](std::size_t, Interrupt& interrupt) {
        for (std::size_t i = next++; i < work.size(); i = next++) body(work[i], interrupt);
      };
    };
    run_shares(workers, options, each_piece([&](Piece& piece, Interrupt& interrupt) {
                 try {
                   read_piece(piece, root, first, piece.pool, interrupt);
                 } catch (ReadFailure& failure) {
                   piece.failure = std::move(failure.error);
                 }
               }));
    for (Piece& piece : work) {
      if (piece.failure) fail(std::move(*piece.failure));
      piece.to_table.reserve(piece.pool.size());
      for (TextId id = 0; id < piece.pool.size(); ++id) {
        piece.to_table.push_back(table().texts.intern(piece.pool.text(id)));
      }
    }
    next = 0;
    run_shares(workers, options, each_piece([&](const Piece& piece, Interrupt& interrupt) {
                 to_table_ids(piece, first, interrupt);
               }));
    rows_ += static_cast<std::size_t>(root.length);
  }

  Gathered finish() && {
    gathered_.time = time_->time();
    return std::move(gathered_);
  }

 private:
  enum class PieceKind : std::uint8_t { Partition, Type, Time, Attribute, Carried };

  EventTable& table() noexcept { return gathered_.builder.rows(); }

  // Rows [begin, end) of one column of a batch. Read on a worker, its texts
  // go to a pool of its own, and `to_table` then maps that pool's ids to
  // the table's.
  struct Piece {
    PieceKind kind = PieceKind::Partition;
    std::size_t column = 0;  // among the attributes or the carried columns
    std::int64_t begin = 0;
    std::int64_t end = 0;
    TextPool pool;
    std::vector<TextId> to_table;
    std::optional<Error> failure;
  };

  // Below this many rows a piece costs more than it saves.
  static constexpr std::int64_t kPieceRows = std::int64_t{1} << 15;

  // The batch's pieces in the order one thread reads them, so that texts
  // meet the table's pool in the same order however they were cut. The
  // timestamps stay whole: their reader keeps state from row to row.
  std::vector<Piece> pieces(std::int64_t length, std::size_t threads) const {
    const std::int64_t cuts = std::clamp<std::int64_t>(
        length / kPieceRows, 1, static_cast<std::int64_t>(std::max<std::size_t>(threads, 1)));
    std::vector<Piece> out;
    const auto add = [&](PieceKind kind, std::size_t column, std::int64_t count) {
      for (std::int64_t k = 0; k < count; ++k) {
        Piece& piece = out.emplace_back();
        piece.kind = kind;
        piece.column = column;
        piece.begin = length * k / count;
        piece.end = length * (k + 1) / count;
      }
    };
    add(PieceKind::Partition, 0, cuts);
    add(PieceKind::Type, 0, cuts);
    add(PieceKind::Time, 0, 1);
    for (std::size_t c = 0; c < attributes_.size(); ++c) add(PieceKind::Attribute, c, cuts);
    for (std::size_t c = 0; c < carry_.size(); ++c) add(PieceKind::Carried, c, cuts);
    return out;
  }

  // Room for the batch in every column, on up to `options.threads` threads
  // (zeroing the new rows faults their pages in, a cost worth sharing);
  // returns the batch's first row.
  std::size_t begin_batch(const ArrowArrayView& root, const RunOptions& options = {}) {
    const std::size_t first = rows_;
    const std::size_t rows = first + static_cast<std::size_t>(root.length);
    reserve_rows(rows);
    EventTable& table = this->table();
    std::vector<std::function<void()>> growth = {
        [&] { table.partitions.resize(rows); },
        [&] { table.types.resize(rows); },
        [&] { table.timestamps.resize(rows); },
    };
    for (std::vector<Cell>& column : table.columns) growth.push_back([&] { column.resize(rows); });
    for (CarriedColumn& column : gathered_.carried) {
      growth.push_back([&] { column.values.resize(rows); });
    }
    std::atomic<std::size_t> next = 0;
    run_shares(std::clamp<std::size_t>(options.threads, 1, growth.size()), options,
               [&](std::size_t, Interrupt&) {
                 for (std::size_t i = next++; i < growth.size(); i = next++) growth[i]();
               });
    return first;
  }

  void read_piece(const Piece& piece, const ArrowArrayView& root, std::size_t first, TextPool& pool,
                  Interrupt& interrupt) {
    EventTable& table = this->table();
    switch (piece.kind) {
      case PieceKind::Partition:
        return read_key(partition_, root, first, piece, table.partitions.data(), pool, interrupt);
      case PieceKind::Type:
        return read_key(typ_, root, first, piece, table.types.data(), pool, interrupt);
      case PieceKind::Time: return read_time(root, first, piece, interrupt);
      case PieceKind::Attribute:
        return read_cells(attributes_[piece.column], root, first, piece,
                          table.columns[piece.column].data(), pool, interrupt, true);
      case PieceKind::Carried:
        return read_cells(carry_[piece.column], root, first, piece,
                          gathered_.carried[piece.column].values.data(), pool, interrupt);
    }
  }

  // The piece's texts from its own pool's ids to the table's.
  void to_table_ids(const Piece& piece, std::size_t first, Interrupt& interrupt) {
    if (piece.to_table.empty()) return;
    const auto rows = [&](auto* column) {
      return std::span(column + first + static_cast<std::size_t>(piece.begin),
                       static_cast<std::size_t>(piece.end - piece.begin));
    };
    EventTable& table = this->table();
    switch (piece.kind) {
      case PieceKind::Partition:
      case PieceKind::Type:
        for (TextId& id :
             rows((piece.kind == PieceKind::Partition ? table.partitions : table.types).data())) {
          interrupt.poll();
          id = piece.to_table[id];
        }
        return;
      case PieceKind::Time: return;
      case PieceKind::Attribute:
      case PieceKind::Carried: {
        Cell* column = piece.kind == PieceKind::Attribute
                           ? table.columns[piece.column].data()
                           : gathered_.carried[piece.column].values.data();
        for (Cell& cell : rows(column)) {
          interrupt.poll();
          if (cell.kind == CellKind::String) cell.text = piece.to_table[cell.text];
        }
        return;
      }
    }
  }

  static Error null_key(const ColumnInfo& info, std::size_t row) {
    return naming_row("column " + quoted_name(info.name) + " is null at row ", row);
  }

  // Room for `rows` in every column, growing geometrically across batches.
  void reserve_rows(std::size_t rows) {
    EventTable& table = this->table();
    if (table.timestamps.capacity() >= rows) return;
    const std::size_t room = std::max(rows, 2 * table.timestamps.capacity());
    table.partitions.reserve(room);
    table.timestamps.reserve(room);
    table.types.reserve(room);
    for (std::vector<Cell>& column : table.columns) column.reserve(room);
    for (CarriedColumn& column : gathered_.carried) column.values.reserve(room);
  }

  static void read_key(const ColumnInfo& info, const ArrowArrayView& root, std::size_t first,
                       const Piece& piece, TextId* out, TextPool& pool, Interrupt& interrupt) {
    ColumnCursor cursor(info, root, first);
    for (std::int64_t i = piece.begin; i < piece.end; ++i) {
      interrupt.poll();
      if (cursor.is_null(i)) fail(null_key(info, cursor.row(i)));
      out[cursor.row(i)] =
          info.family == Family::Text ? cursor.text(i, pool) : cursor.integer_text(i, pool);
    }
  }

  void read_time(const ArrowArrayView& root, std::size_t first, const Piece& piece,
                 Interrupt& interrupt) {
    ColumnCursor ts(ts_, root, first);
    std::int64_t* out = table().timestamps.data();
    for (std::int64_t i = piece.begin; i < piece.end; ++i) {
      interrupt.poll();
      if (ts.is_null(i)) fail(null_key(ts_, ts.row(i)));
      out[ts.row(i)] = time_->read(ts, i);
    }
  }

  // Carried cells stay in their column's unit, as they are written back in
  // it; an attribute's datetimes and durations become nanoseconds, the unit
  // of the event timestamps they are compared with.
  static void read_cells(const ColumnInfo& info, const ArrowArrayView& root, std::size_t first,
                         const Piece& piece, Cell* out, TextPool& pool, Interrupt& interrupt,
                         bool in_nanoseconds = false) {
    ColumnCursor cursor(info, root, first);
    const std::int64_t factor = in_nanoseconds ? nanoseconds_per_value(info) : 1;
    for (std::int64_t i = piece.begin; i < piece.end; ++i) {
      interrupt.poll();
      Cell cell = cursor.cell(i, pool);
      if (factor != 1 && cell.kind == CellKind::Int) cell.integer = scaled(info, cursor, i, factor);
      out[cursor.row(i)] = cell;
    }
  }

  static std::int64_t nanoseconds_per_value(const ColumnInfo& info) {
    if (info.family != Family::Temporal) return 1;
    switch (info.values.type) {
      case NANOARROW_TYPE_DATE32: return 86'400'000'000'000;
      case NANOARROW_TYPE_DATE64: return 1'000'000;
      default: return nanoseconds_per(info.values.time_unit);
    }
  }

  static std::int64_t scaled(const ColumnInfo& info, const ColumnCursor& cursor, std::int64_t i,
                             std::int64_t factor) {
    const std::int64_t value = cursor.integer(i);
    std::int64_t nanoseconds = 0;
    if (!__builtin_mul_overflow(value, factor, &nanoseconds)) return nanoseconds;
    if (info.values.type == NANOARROW_TYPE_DURATION) {
      fail(cursor.at_row(i) + ": " + std::to_string(value) + " " +
           ArrowTimeUnitString(info.values.time_unit) +
           " is out of range (64-bit nanoseconds span 292 years either way)");
    }
    const bool days = info.values.type == NANOARROW_TYPE_DATE32;
    const std::string unit = days ? "days"
                             : info.values.type == NANOARROW_TYPE_DATE64
                                 ? "ms"
                                 : ArrowTimeUnitString(info.values.time_unit);
    fail(cursor.at_row(i) + ": " + std::to_string(value) + " " + unit + " since the epoch" +
         std::string(kNanosecondRange));
  }

  ColumnInfo partition_, typ_, ts_;
  std::vector<ColumnInfo> attributes_, carry_;
  std::optional<TimeReader> time_;
  Gathered gathered_;
  std::size_t rows_ = 0;
};

// Every batch, each read on the calling thread, or in pieces on workers
// when `options` asks for more than one thread.
// The stream's next array into `batch`, its rows starting at row `rows`;
// false at the stream's end.
bool next_batch(ArrowArrayStream& stream, Batch& batch, std::size_t rows) {
  if (ArrowArrayStreamGetNext(&stream, batch.get(), nullptr) != NANOARROW_OK) {
    fail(naming_row("could not read the batch starting at row ", rows) +
         StreamSchema::producer_detail(stream));
  }
  return !batch.ended();
}

Gathered read_batches(ArrowArrayStream& stream, const ArrowColumns& columns,
                      const RunOptions& options, Interrupt& interrupt) {
  const StreamSchema schema(stream);
  schema.require_record_batches();
  Reader reader(schema.schema(), columns);
  BatchView view(schema.schema());
  std::size_t rows = 0;
  while (true) {
    interrupt.poll();
    Batch batch;
    if (!next_batch(stream, batch, rows)) break;
    view.set(*batch.get(), rows);
    const std::size_t threads = options.threads_for(static_cast<std::size_t>(view.root().length));
    if (threads > 1) {
      reader.read(view.root(), RunOptions{threads, options.stop_requested});
    } else {
      reader.read(view.root(), interrupt);
    }
    rows += static_cast<std::size_t>(view.root().length);
  }
  return std::move(reader).finish();
}

std::vector<Cell> read_text_arrays(ArrowArrayStream& stream, const std::string& name,
                                   TextPool& texts, Interrupt& interrupt) {
  const StreamSchema schema(stream);
  const ColumnInfo info = describe_column(schema.schema(), name);
  if (info.family != Family::Text) {
    fail_wrong_type("column " + quoted_name(name) + " has type " + type_text(info) +
                    "; it must hold text");
  }
  BatchView view(schema.schema());
  std::vector<Cell> cells;
  while (true) {
    interrupt.poll();
    Batch batch;
    if (!next_batch(stream, batch, cells.size())) break;
    view.set(*batch.get(), cells.size());
    ColumnCursor cursor(info, view.root(), 0, cells.size());
    for (std::int64_t i = 0; i < view.root().length; ++i) {
      interrupt.poll();
      cells.push_back(cursor.cell(i, texts));
    }
  }
  return cells;
}

// Releases the stream on every path.
class StreamRelease {
 public:
  explicit StreamRelease(ArrowArrayStream& stream) : stream_(stream) {}
  StreamRelease(const StreamRelease&) = delete;
  StreamRelease& operator=(const StreamRelease&) = delete;
  ~StreamRelease() {
    if (stream_.release != nullptr) ArrowArrayStreamRelease(&stream_);
  }

 private:
  ArrowArrayStream& stream_;
};

}  // namespace

Result<EventSource> read_arrow_events(ArrowArrayStream& stream, const ArrowColumns& columns,
                                      const RunOptions& options) {
  Interrupt interrupt(options.stop_requested);
  const StreamRelease release(stream);
  try {
    Gathered gathered = read_batches(stream, columns, options, interrupt);
    return EventSource{std::move(gathered.builder).build(interrupt),
                       std::move(gathered.time),
                       std::move(gathered.carried),
                       {}};
  } catch (ReadFailure& failure) {
    return std::move(failure.error);
  }
}

Result<std::vector<Cell>> read_arrow_texts(ArrowArrayStream& stream, const std::string& name,
                                           TextPool& texts, Interrupt& interrupt) {
  const StreamRelease release(stream);
  try {
    return read_text_arrays(stream, name, texts, interrupt);
  } catch (ReadFailure& failure) {
    return std::move(failure.error);
  }
}

}  // namespace kestrel
