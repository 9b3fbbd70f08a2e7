// Events from columns that the package's Python layer hands over, so that a
// data frame of a million rows never becomes a million Python Event objects:
// numbers through the buffer protocol, texts and mixed values as lists, text
// also as Arrow buffers. The Python layer checks names, dtypes and null masks
// of the key columns before calling in; this file still checks every cell it
// reads, because a wrong cell must become a clear error, never a wrong event.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrel/event.hpp"
#include "kestrel/utf8.hpp"
#include "py_support.hpp"

namespace kestrel::binding {

namespace {

std::string column_label(std::string_view name) { return "column `" + std::string(name) + "`"; }

// PyArg_ParseTuple needs a tuple; given anything else it raises SystemError.
void require_tuple(PyObject* object, std::string_view what) {
  if (!PyTuple_Check(object)) {
    raise(PyExc_TypeError, std::string(what) + " must be a tuple, not " + type_name(object));
  }
}

// A contiguous one-dimensional buffer of `length` items of one C type.
class Column {
 public:
  Column(PyObject* data, std::string_view name, std::size_t length, std::string_view formats,
         std::size_t item_size) {
    if (PyObject_GetBuffer(data, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
      throw PythonError{};
    }
    const std::string_view format = view_.format ? view_.format : "B";
    const char code = format.empty() ? '?' : format.back();
    const bool plain = format.size() == 1 || (format.size() == 2 && std::strchr("@=<", format[0]));
    if (view_.ndim != 1 || static_cast<std::size_t>(view_.itemsize) != item_size || !plain ||
        formats.find(code) == std::string_view::npos ||
        static_cast<std::size_t>(view_.len) / item_size != length) {
      PyBuffer_Release(&view_);
      raise(PyExc_ValueError, column_label(name) + " has a buffer of the wrong shape or type");
    }
  }
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  ~Column() { PyBuffer_Release(&view_); }

  // Bytes are read as integers: a bool buffer may hold any byte value.
  template <class T>
  T at(std::size_t row) const {
    T value;
    std::memcpy(&value, static_cast<const char*>(view_.buf) + row * sizeof(T), sizeof(T));
    return value;
  }

 private:
  Py_buffer view_{};
};

// Items of a list column, checked against its length.
PyObject* list_items(PyObject* values, std::string_view name, std::size_t length) {
  if (!PyList_Check(values) || static_cast<std::size_t>(PyList_Size(values)) != length) {
    raise(PyExc_ValueError, column_label(name) + " is not a list of the table's length");
  }
  return values;
}

// A str's UTF-8 text; one with lone surrogates, which UTF-8 cannot hold, is
// refused with the column and row named.
std::string checked_utf8(PyObject* text, std::string_view name, std::size_t row) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(data, static_cast<std::size_t>(size));
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const Ref reason = Ref::steal(value);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  const Ref message = own(PyObject_Str(reason.get()));
  raise(PyExc_ValueError,
        column_label(name) + " row " + std::to_string(row) + ": " + display_text(message.get()));
}

std::string text_cell(PyObject* cell, std::string_view name, std::size_t row) {
  if (PyUnicode_Check(cell)) return checked_utf8(cell, name, row);
  if (cell == Py_None)
    raise(PyExc_ValueError, column_label(name) + " is null at row " + std::to_string(row));
  raise(PyExc_TypeError, column_label(name) + " must hold text, not " + type_name(cell) + " (row " +
                             std::to_string(row) + ")");
}

// The raw bytes of any buffer; pyarrow exports its buffers as signed chars.
class Bytes {
 public:
  explicit Bytes(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) throw PythonError{};
  }
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  ~Bytes() { PyBuffer_Release(&view_); }

  std::string_view view() const noexcept {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

using kestrel::is_utf8;

[[noreturn]] void raise_malformed_arrow(std::string_view name) {
  raise(PyExc_ValueError, column_label(name) + " has malformed Arrow text buffers");
}

// Calls visit(row, text) for every row that is_null(row) does not exclude,
// of a text column laid out as Arrow utf8 or large_utf8 chunks: a list of
// (offsets, data, offset, length, offset width). Every offset is checked, so
// bad buffers cannot be read out of bounds; the text of a null slot is not
// checked, as Arrow leaves its bytes undefined.
template <class IsNull, class Visit>
void visit_arrow_text(PyObject* chunks, std::string_view name, std::size_t length,
                      kestrel::Interrupt& interrupt, IsNull is_null, Visit visit) {
  if (!PyList_Check(chunks)) raise_malformed_arrow(name);
  std::size_t row = 0;
  for (Py_ssize_t c = 0; c < PyList_Size(chunks); ++c) {
    PyObject *offsets_object = nullptr, *data_object = nullptr;
    Py_ssize_t offset = 0, count = 0;
    int width = 0;
    // Held: the integer conversions below may run hooks that change the list.
    const Ref chunk = Ref::borrow(PyList_GetItem(chunks, c));
    require_tuple(chunk.get(), column_label(name) + " chunk");
    if (!PyArg_ParseTuple(chunk.get(), "OOnni", &offsets_object, &data_object, &offset, &count,
                          &width)) {
      throw PythonError{};
    }
    if (offset < 0 || count < 0 || (width != 4 && width != 8) ||
        static_cast<std::size_t>(count) > length - row) {
      raise_malformed_arrow(name);
    }
    const Bytes offsets_buffer(offsets_object), data_buffer(data_object);
    const std::string_view offsets = offsets_buffer.view(), data = data_buffer.view();
    const auto first = static_cast<std::size_t>(offset), cells = static_cast<std::size_t>(count);
    if (offsets.size() / static_cast<std::size_t>(width) < first + cells + 1) {
      raise_malformed_arrow(name);
    }
    auto offset_at = [&](std::size_t i) -> std::int64_t {
      if (width == 4) {
        std::int32_t value;
        std::memcpy(&value, offsets.data() + i * 4, 4);
        return value;
      }
      std::int64_t value;
      std::memcpy(&value, offsets.data() + i * 8, 8);
      return value;
    };
    std::int64_t begin = offset_at(first);
    for (std::size_t i = 0; i < cells; ++i, ++row) {
      interrupt.poll();
      const std::int64_t end = offset_at(first + i + 1);
      if (begin < 0 || end < begin || static_cast<std::uint64_t>(end) > data.size()) {
        raise_malformed_arrow(name);
      }
      if (is_null(row)) {
        begin = end;
        continue;
      }
      const std::string_view text =
          data.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
      if (!is_utf8(text)) {
        raise(PyExc_ValueError,
              column_label(name) + " row " + std::to_string(row) + " is not valid UTF-8");
      }
      visit(row, text);
      begin = end;
    }
  }
  if (row != length) raise_malformed_arrow(name);
}

// Key columns arrive as (name, kind, data): kind "object" with a list of str,
// or "arrow_text" with Arrow chunks. They hold no nulls: the package refuses
// those before calling in.
void read_text_column(PyObject* key_column, std::size_t length, std::vector<kestrel::Event>& events,
                      std::string kestrel::Event::* field, kestrel::Interrupt& interrupt) {
  PyObject *name_object = nullptr, *kind_object = nullptr, *data = nullptr;
  require_tuple(key_column, "a key column");
  if (!PyArg_ParseTuple(key_column, "UUO", &name_object, &kind_object, &data)) throw PythonError{};
  const std::string name = utf8(name_object);
  const std::string kind = utf8(kind_object);
  if (kind == "arrow_text") {
    visit_arrow_text(
        data, name, length, interrupt, [](std::size_t) { return false; },
        [&](std::size_t row, std::string_view text) { events[row].*field = text; });
    return;
  }
  if (kind != "object")
    raise(PyExc_ValueError, column_label(name) + " has unknown kind `" + kind + "`");
  list_items(data, name, length);
  for (std::size_t row = 0; row < length; ++row) {
    interrupt.poll();
    PyObject* cell = PyList_GetItem(data, static_cast<Py_ssize_t>(row));
    events[row].*field = text_cell(cell, name, row);
  }
}

// The timestamp column arrives as (name, buffer of int64).
Column open_ts_column(PyObject* column, std::size_t length) {
  PyObject* name_object = nullptr;
  PyObject* data = nullptr;
  require_tuple(column, "the ts column");
  if (!PyArg_ParseTuple(column, "UO", &name_object, &data)) throw PythonError{};
  return Column(data, utf8(name_object), length, "ql", sizeof(std::int64_t));
}

// Cells of the exact built-in types convert here, as Event() would convert
// them but without its hook probing, and so do NumPy booleans, which are booleans
// in rows as in boolean columns; anything else goes through _core.
kestrel::Value object_cell(PyObject* cell, std::string_view name, std::size_t row) {
  if (PyUnicode_CheckExact(cell)) {
    return checked_utf8(cell, name, row);
  } else if (PyFloat_CheckExact(cell)) {
    return PyFloat_AsDouble(cell);
  } else if (cell == Py_None) {
    return kestrel::Null{};
  } else if (PyBool_Check(cell)) {
    return cell == Py_True;
  } else if (!PyLong_Check(cell) && is_numpy_bool(cell)) {
    const int truth = PyObject_IsTrue(cell);
    if (truth < 0) throw PythonError{};
    return truth == 1;
  }
  try {
    return py_to_value(cell);
  } catch (const PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
    PyErr_Clear();
  }
  raise(PyExc_TypeError, column_label(name) + " row " + std::to_string(row) +
                             ": event attribute values must be str, int, float, bool, or None, "
                             "not " +
                             type_name(cell));
}

struct AttributeColumn {
  std::string name;
  std::string kind;
  PyObject* data = nullptr;  // borrowed from the column's tuple, which from_columns holds
  PyObject* mask = nullptr;  // borrowed likewise, None when no cell is null
};

AttributeColumn parse_attribute_column(PyObject* item) {
  PyObject* name = nullptr;
  PyObject* kind = nullptr;
  AttributeColumn out;
  require_tuple(item, "an attribute column");
  if (!PyArg_ParseTuple(item, "UUOO", &name, &kind, &out.data, &out.mask)) throw PythonError{};
  out.name = utf8(name);
  out.kind = utf8(kind);
  return out;
}

// Null cells, marked by a nonzero byte of the mask, leave the attribute out.
class NullMask {
 public:
  NullMask(const AttributeColumn& attribute, std::size_t length) {
    if (attribute.mask != Py_None) mask_.emplace(attribute.mask, attribute.name, length, "?B", 1);
  }
  bool is_null(std::size_t row) const { return mask_ && mask_->at<std::uint8_t>(row) != 0; }

 private:
  std::optional<Column> mask_;
};

template <class Read>
void fill_attribute(const AttributeColumn& attribute, std::size_t length,
                    std::vector<std::optional<Value>>& values, kestrel::Interrupt& interrupt,
                    Read read) {
  const NullMask mask(attribute, length);
  for (std::size_t row = 0; row < length; ++row) {
    interrupt.poll();
    if (!mask.is_null(row)) values[row] = read(row);
  }
}

void read_attribute_column(const AttributeColumn& attribute, std::size_t length,
                           std::vector<std::optional<Value>>& values,
                           kestrel::Interrupt& interrupt) {
  if (attribute.kind == "int") {
    const Column column(attribute.data, attribute.name, length, "ql", sizeof(std::int64_t));
    fill_attribute(attribute, length, values, interrupt,
                   [&](std::size_t row) { return kestrel::Value(column.at<std::int64_t>(row)); });
  } else if (attribute.kind == "float") {
    const Column column(attribute.data, attribute.name, length, "d", sizeof(double));
    fill_attribute(attribute, length, values, interrupt,
                   [&](std::size_t row) { return kestrel::Value(column.at<double>(row)); });
  } else if (attribute.kind == "bool") {
    const Column column(attribute.data, attribute.name, length, "?B", 1);
    fill_attribute(attribute, length, values, interrupt, [&](std::size_t row) {
      return kestrel::Value(column.at<std::uint8_t>(row) != 0);
    });
  } else if (attribute.kind == "object") {
    PyObject* cells = list_items(attribute.data, attribute.name, length);
    fill_attribute(attribute, length, values, interrupt, [&](std::size_t row) {
      // A cell's conversion hooks may change the list: re-check it and hold the cell.
      if (static_cast<std::size_t>(PyList_Size(cells)) != length) {
        raise(PyExc_RuntimeError, column_label(attribute.name) + " changed size while it was read");
      }
      const Ref cell = Ref::borrow(PyList_GetItem(cells, static_cast<Py_ssize_t>(row)));
      return object_cell(cell.get(), attribute.name, row);
    });
  } else if (attribute.kind == "arrow_text") {
    const NullMask mask(attribute, length);
    visit_arrow_text(
        attribute.data, attribute.name, length, interrupt,
        [&](std::size_t row) { return mask.is_null(row); },
        [&](std::size_t row, std::string_view text) { values[row] = Value(std::string(text)); });
  } else {
    raise(PyExc_ValueError,
          column_label(attribute.name) + " has unknown kind `" + attribute.kind + "`");
  }
}

std::vector<AttributeColumn> sorted_attribute_columns(PyObject* attributes) {
  if (!PyList_Check(attributes)) raise(PyExc_TypeError, "attributes must be a list");
  std::vector<AttributeColumn> by_name;
  for (Py_ssize_t i = 0; i < PyList_Size(attributes); ++i) {
    by_name.push_back(parse_attribute_column(PyList_GetItem(attributes, i)));
  }
  // In byte order each row's attributes are appended at the end of its map.
  std::sort(by_name.begin(), by_name.end(),
            [](const AttributeColumn& a, const AttributeColumn& b) { return a.name < b.name; });
  const auto repeated = std::adjacent_find(
      by_name.begin(), by_name.end(),
      [](const AttributeColumn& a, const AttributeColumn& b) { return a.name == b.name; });
  if (repeated != by_name.end())
    raise(PyExc_ValueError, column_label(repeated->name) + " is given twice");
  return by_name;
}

// The cells of one attribute column, by input row; none where it is null.
struct AttributeValues {
  std::string name;
  std::vector<std::optional<Value>> cells;
};

// Attributes are kept by column rather than in each event's map: a million
// small maps cost a million allocations to make and, worse, to free, which
// no interrupt can cut short.
struct ColumnEvents {
  std::vector<Event> events;  // keys only
  std::vector<AttributeValues> attributes;
};

ColumnEvents events_from_columns(std::size_t rows, PyObject* partition, PyObject* ts, PyObject* typ,
                                 const std::vector<AttributeColumn>& by_name) {
  // The buffer checks `rows` before the events are allocated.
  const Column ts_column = open_ts_column(ts, rows);
  kestrel::Interrupt interrupt = python_signals();
  ColumnEvents out;
  std::vector<Event>& events = out.events;
  events.resize(rows);
  read_text_column(partition, rows, events, &kestrel::Event::partition, interrupt);
  for (std::size_t row = 0; row < rows; ++row) events[row].ts = ts_column.at<std::int64_t>(row);
  read_text_column(typ, rows, events, &kestrel::Event::typ, interrupt);
  for (const AttributeColumn& attribute : by_name) {
    AttributeValues& values = out.attributes.emplace_back();
    values.name = attribute.name;
    values.cells.resize(rows);
    read_attribute_column(attribute, rows, values.cells, interrupt);
  }
  return out;
}

// A carried column arrives as an attribute column with the Arrow format its
// values are written back as, which the Python layer infers from its cells.
struct CarriedInput {
  AttributeColumn column;
  std::string format;
};

std::vector<CarriedInput> parse_carried_columns(PyObject* carry) {
  std::vector<CarriedInput> out;
  for (Py_ssize_t i = 0; i < PyList_Size(carry); ++i) {
    PyObject* item = PyList_GetItem(carry, i);
    PyObject *name = nullptr, *kind = nullptr, *format = nullptr;
    CarriedInput& input = out.emplace_back();
    require_tuple(item, "a carried column");
    if (!PyArg_ParseTuple(item, "UUOOU", &name, &kind, &input.column.data, &input.column.mask,
                          &format)) {
      throw PythonError{};
    }
    input.column.name = utf8(name);
    input.column.kind = utf8(kind);
    input.format = utf8(format);
  }
  return out;
}

// Whether a value can be written as the format: the writer turns the cell
// into the format's buffers whatever its kind, so a mismatch would make a
// malformed Arrow column.
bool fits_format(const Value& value, std::string_view format) {
  if (std::holds_alternative<Null>(value)) return true;
  if (format == "l" || format == "tsn:" || format == "tsn:UTC" || format == "tDn") {
    return std::holds_alternative<std::int64_t>(value);
  }
  if (format == "g") return std::holds_alternative<double>(value);
  if (format == "b") return std::holds_alternative<bool>(value);
  if (format == "u") return std::holds_alternative<std::string>(value);
  return false;
}

CarriedColumn read_carried_column(const CarriedInput& input, std::size_t rows, EventTable& table,
                                  kestrel::Interrupt& interrupt) {
  std::vector<std::optional<Value>> cells(rows);
  read_attribute_column(input.column, rows, cells, interrupt);
  CarriedColumn out{input.column.name, input.format, {}};
  out.values.reserve(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    if (!cells[row]) {
      out.values.push_back(Cell::null());
      continue;
    }
    if (!fits_format(*cells[row], input.format)) {
      raise(PyExc_TypeError, column_label(input.column.name) + " row " + std::to_string(row) +
                                 " cannot be carried as Arrow format `" + input.format + "`");
    }
    out.values.push_back(table.cell_of(*cells[row]));
  }
  return out;
}

// Puts events[order[i]] at position i, one cycle of the permutation at a
// time. Moving the records into a second vector instead would hold two of
// their fixed-size parts at once. An interrupt leaves the events permuted
// only in part, which is harmless: the caller then discards them.
void permute_in_place(std::vector<kestrel::Event>& events, const std::vector<std::size_t>& order,
                      kestrel::Interrupt& interrupt) {
  std::vector<bool> placed(events.size());
  for (std::size_t start = 0; start < events.size(); ++start) {
    if (placed[start]) continue;
    kestrel::Event carried = std::move(events[start]);
    std::size_t at = start;
    for (std::size_t from = order[at]; from != start; from = order[at]) {
      interrupt.poll();
      events[at] = std::move(events[from]);
      placed[at] = true;
      at = from;
    }
    events[at] = std::move(carried);
    placed[at] = true;
  }
}

}  // namespace

EventSource source_from_events(std::vector<Event> events, std::span<const std::string> attributes,
                               TimeColumn time) {
  kestrel::Interrupt interrupt = python_signals();
  std::vector<std::size_t> positions;
  if (!is_sorted_by_partition_time_index(events)) {
    positions = canonical_order(events, interrupt);
    permute_in_place(events, positions, interrupt);
  }
  EventSource source;
  source.table = EventTable::from_events(events, attributes, interrupt);
  if (!positions.empty()) source.table.positions = std::move(positions);
  source.time = std::move(time);
  return source;
}

EventSource source_from_columns(std::int64_t length, PyObject* partition, PyObject* ts,
                                PyObject* typ, PyObject* attributes, PyObject* carry,
                                TimeColumn time) {
  if (length < 0) raise(PyExc_ValueError, "length must not be negative");
  // Private copies of the lists: cell hooks may empty the caller's, and the
  // columns borrow from their tuples.
  const Ref held = own(PyList_GetSlice(attributes, 0, PyList_Size(attributes)));
  const std::vector<AttributeColumn> by_name = sorted_attribute_columns(held.get());
  const Ref carry_held = own(PyList_GetSlice(carry, 0, PyList_Size(carry)));
  const std::vector<CarriedInput> carried = parse_carried_columns(carry_held.get());
  ColumnEvents read =
      events_from_columns(static_cast<std::size_t>(length), partition, ts, typ, by_name);
  EventSource source = source_from_events(std::move(read.events), {}, std::move(time));
  EventTable& table = source.table;
  kestrel::Interrupt interrupt = python_signals();
  for (const AttributeValues& attribute : read.attributes) {
    table.attribute_names.push_back(table.texts.intern(attribute.name));
    std::vector<Cell>& column = table.columns.emplace_back(table.size());
    for (std::size_t row = 0; row < table.size(); ++row) {
      interrupt.poll();
      if (const std::optional<Value>& value = attribute.cells[table.positions[row]]) {
        column[row] = table.cell_of(*value);
      }
    }
  }
  for (const CarriedInput& input : carried) {
    source.carried.push_back(
        read_carried_column(input, static_cast<std::size_t>(length), table, interrupt));
  }
  return source;
}

}  // namespace kestrel::binding
