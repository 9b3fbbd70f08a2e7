// Event tables from columns that the package's Python layer hands over, so
// that a data frame of a million rows never becomes a million Python Event
// objects: numbers through the buffer protocol, texts and mixed values as
// lists, text also as Arrow arrays, which the engine's Arrow reader reads.
// Each column goes straight into the table builder's columns. The Python
// layer checks names, dtypes and null masks of the key columns before
// calling in; this file still checks every cell it reads, because a wrong
// cell must become a clear error, never a wrong event.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrel/arrow_input.hpp"
#include "py_support.hpp"
#include "table/table_builder.hpp"

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

// A str's UTF-8 text, valid while the str lives; one with lone surrogates,
// which UTF-8 cannot hold, is refused with the column and row named.
std::string_view checked_utf8(PyObject* text, std::string_view name, std::size_t row) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string_view(data, static_cast<std::size_t>(size));
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

std::string_view text_cell(PyObject* cell, std::string_view name, std::size_t row) {
  if (PyUnicode_Check(cell)) return checked_utf8(cell, name, row);
  if (cell == Py_None)
    raise(PyExc_ValueError, column_label(name) + " is null at row " + std::to_string(row));
  raise(PyExc_TypeError, column_label(name) + " must hold text, not " + type_name(cell) + " (row " +
                             std::to_string(row) + ")");
}

// The cells of an Arrow text column, read by the engine's Arrow reader from
// any object with __arrow_c_stream__ or __arrow_c_array__ (a pyarrow array
// or chunked array): texts interned into the table's pool, nulls Null.
std::vector<Cell> arrow_text_cells(PyObject* data, std::string_view name, std::size_t length,
                                   EventTable& table, kestrel::Interrupt& interrupt) {
  OwnedStream owned = stream_from_py(data);
  Result<std::vector<Cell>> read =
      read_arrow_texts(owned.stream, std::string(name), table.texts, interrupt);
  if (!read) raise_engine_error(read.failure());
  if (read.value().size() != length) {
    raise(PyExc_ValueError, column_label(name) + " is not an Arrow column of the table's length");
  }
  return std::move(read).value();
}

// Key columns arrive as (name, kind, data): kind "object" with a list of str,
// or "arrow_text" with an Arrow array. They hold no nulls: the package refuses
// those before calling in.
std::vector<TextId> read_text_column(PyObject* key_column, std::size_t length, EventTable& table,
                                     kestrel::Interrupt& interrupt) {
  PyObject *name_object = nullptr, *kind_object = nullptr, *data = nullptr;
  require_tuple(key_column, "a key column");
  if (!PyArg_ParseTuple(key_column, "UUO", &name_object, &kind_object, &data)) throw PythonError{};
  const std::string name = utf8(name_object);
  const std::string kind = utf8(kind_object);
  std::vector<TextId> ids;
  if (kind == "arrow_text") {
    const std::vector<Cell> cells = arrow_text_cells(data, name, length, table, interrupt);
    ids.reserve(length);
    for (std::size_t row = 0; row < length; ++row) {
      interrupt.poll();
      if (cells[row].kind != CellKind::String)
        raise(PyExc_ValueError, column_label(name) + " is null at row " + std::to_string(row));
      ids.push_back(cells[row].text);
    }
    return ids;
  }
  if (kind != "object")
    raise(PyExc_ValueError, column_label(name) + " has unknown kind `" + kind + "`");
  list_items(data, name, length);
  ids.resize(length);
  // Repeated cells are often one str object (a key repeated down a run):
  // the list holds each cell, so the same object has the same text.
  PyObject* previous = nullptr;
  for (std::size_t row = 0; row < length; ++row) {
    interrupt.poll();
    PyObject* cell = PyList_GetItem(data, static_cast<Py_ssize_t>(row));
    ids[row] = cell == previous ? ids[row - 1] : table.texts.intern(text_cell(cell, name, row));
    previous = cell;
  }
  return ids;
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
Cell object_cell(PyObject* cell, std::string_view name, std::size_t row, EventTable& table) {
  if (PyUnicode_CheckExact(cell)) {
    return Cell::of_text(table.texts.intern(checked_utf8(cell, name, row)));
  } else if (PyFloat_CheckExact(cell)) {
    return Cell::of_float(PyFloat_AsDouble(cell));
  } else if (cell == Py_None) {
    return Cell::null();
  } else if (PyBool_Check(cell)) {
    return Cell::of_bool(cell == Py_True);
  } else if (!PyLong_Check(cell) && is_numpy_bool(cell)) {
    const int truth = PyObject_IsTrue(cell);
    if (truth < 0) throw PythonError{};
    return Cell::of_bool(truth == 1);
  }
  try {
    return table.cell_of(py_to_value(cell));
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
void fill_attribute(const AttributeColumn& attribute, std::vector<Cell>& cells,
                    kestrel::Interrupt& interrupt, Read read) {
  const NullMask mask(attribute, cells.size());
  for (std::size_t row = 0; row < cells.size(); ++row) {
    interrupt.poll();
    if (!mask.is_null(row)) cells[row] = read(row);
  }
}

// Reads the column into `cells`, which are Missing and as many as its rows.
// An Arrow null is a cell the mask leaves out, as in every other kind.
void read_attribute_column(const AttributeColumn& attribute, std::vector<Cell>& cells,
                           EventTable& table, kestrel::Interrupt& interrupt) {
  const std::size_t length = cells.size();
  if (attribute.kind == "int") {
    const Column column(attribute.data, attribute.name, length, "ql", sizeof(std::int64_t));
    fill_attribute(attribute, cells, interrupt,
                   [&](std::size_t row) { return Cell::of_int(column.at<std::int64_t>(row)); });
  } else if (attribute.kind == "float") {
    const Column column(attribute.data, attribute.name, length, "d", sizeof(double));
    fill_attribute(attribute, cells, interrupt,
                   [&](std::size_t row) { return Cell::of_float(column.at<double>(row)); });
  } else if (attribute.kind == "bool") {
    const Column column(attribute.data, attribute.name, length, "?B", 1);
    fill_attribute(attribute, cells, interrupt, [&](std::size_t row) {
      return Cell::of_bool(column.at<std::uint8_t>(row) != 0);
    });
  } else if (attribute.kind == "object") {
    PyObject* items = list_items(attribute.data, attribute.name, length);
    fill_attribute(attribute, cells, interrupt, [&](std::size_t row) {
      // A cell's conversion hooks may change the list: re-check it and hold the cell.
      if (static_cast<std::size_t>(PyList_Size(items)) != length) {
        raise(PyExc_RuntimeError, column_label(attribute.name) + " changed size while it was read");
      }
      const Ref cell = Ref::borrow(PyList_GetItem(items, static_cast<Py_ssize_t>(row)));
      return object_cell(cell.get(), attribute.name, row, table);
    });
  } else if (attribute.kind == "arrow_text") {
    const std::vector<Cell> texts =
        arrow_text_cells(attribute.data, attribute.name, length, table, interrupt);
    fill_attribute(attribute, cells, interrupt, [&](std::size_t row) {
      return texts[row].kind == CellKind::Null ? Cell{} : texts[row];
    });
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
  // In byte order, as an event's attributes are kept.
  std::sort(by_name.begin(), by_name.end(),
            [](const AttributeColumn& a, const AttributeColumn& b) { return a.name < b.name; });
  const auto repeated = std::adjacent_find(
      by_name.begin(), by_name.end(),
      [](const AttributeColumn& a, const AttributeColumn& b) { return a.name == b.name; });
  if (repeated != by_name.end())
    raise(PyExc_ValueError, column_label(repeated->name) + " is given twice");
  return by_name;
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

// Whether a cell can be written as the format: the writer turns the cell
// into the format's buffers whatever its kind, so a mismatch would make a
// malformed Arrow column.
bool fits_format(const Cell& cell, std::string_view format) {
  if (cell.kind == CellKind::Null) return true;
  if (format == "l" || format == "tsn:" || format == "tsn:UTC" || format == "tDn") {
    return cell.kind == CellKind::Int;
  }
  if (format == "g") return cell.kind == CellKind::Float;
  if (format == "b") return cell.kind == CellKind::Bool;
  if (format == "u") return cell.kind == CellKind::String;
  return false;
}

// Carried cells are by input row, a missing one null.
CarriedColumn read_carried_column(const CarriedInput& input, std::size_t rows, EventTable& table,
                                  kestrel::Interrupt& interrupt) {
  CarriedColumn out{input.column.name, input.format, std::vector<Cell>(rows)};
  read_attribute_column(input.column, out.values, table, interrupt);
  for (std::size_t row = 0; row < rows; ++row) {
    Cell& cell = out.values[row];
    if (cell.kind == CellKind::Missing) cell = Cell::null();
    if (!fits_format(cell, input.format)) {
      raise(PyExc_TypeError, column_label(input.column.name) + " row " + std::to_string(row) +
                                 " cannot be carried as Arrow format `" + input.format + "`");
    }
  }
  return out;
}

}  // namespace

EventSource source_from_events(std::vector<Event> events, std::span<const std::string> attributes,
                               TimeColumn time) {
  kestrel::Interrupt interrupt = python_signals();
  TableBuilder builder;
  builder.add_events(events, attributes, interrupt);
  EventSource source;
  source.table = std::move(builder).build(interrupt);
  source.time = std::move(time);
  return source;
}

EventSource source_from_columns(std::int64_t length, PyObject* partition, PyObject* ts,
                                PyObject* typ, PyObject* attributes, PyObject* carry,
                                TimeColumn time) {
  if (length < 0) raise(PyExc_ValueError, "length must not be negative");
  const auto rows = static_cast<std::size_t>(length);
  // Private copies of the lists: cell hooks may empty the caller's, and the
  // columns borrow from their tuples.
  const Ref held = own(PyList_GetSlice(attributes, 0, PyList_Size(attributes)));
  const std::vector<AttributeColumn> by_name = sorted_attribute_columns(held.get());
  const Ref carry_held = own(PyList_GetSlice(carry, 0, PyList_Size(carry)));
  const std::vector<CarriedInput> carried = parse_carried_columns(carry_held.get());
  // The buffer checks `rows` before any column is allocated.
  const Column ts_column = open_ts_column(ts, rows);
  kestrel::Interrupt interrupt = python_signals();
  TableBuilder builder;
  EventTable& table = builder.rows();
  table.partitions = read_text_column(partition, rows, table, interrupt);
  table.timestamps.resize(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    interrupt.poll();
    table.timestamps[row] = ts_column.at<std::int64_t>(row);
  }
  table.types = read_text_column(typ, rows, table, interrupt);
  for (const AttributeColumn& attribute : by_name) {
    read_attribute_column(attribute, builder.add_column(attribute.name, rows), table, interrupt);
  }
  EventSource source;
  for (const CarriedInput& input : carried) {
    source.carried.push_back(read_carried_column(input, rows, table, interrupt));
  }
  source.table = std::move(builder).build(interrupt);
  source.time = std::move(time);
  return source;
}

}  // namespace kestrel::binding
