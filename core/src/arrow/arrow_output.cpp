// The three result tables. Each column is typed from the pattern and the
// source alone (capture names, the time column, the carried columns), so an
// empty result has the same schema as a full one. A result's events are
// found through its indices (ResultEvents); a match's types and carried
// values are looked up there.
#include "kestrel/arrow_output.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <set>

#include "arrow/arrow_writer.hpp"
#include "language/json_writer.hpp"

namespace kestrel {

namespace {

using arrow::Column;

// The row of each input position.
std::vector<std::size_t> rows_by_position(const EventTable& table) {
  std::vector<std::size_t> rows(table.size());
  for (std::size_t row = 0; row < table.size(); ++row) rows[table.positions[row]] = row;
  return rows;
}

template <class Result>
std::vector<std::string> capture_columns(std::span<const Result> results,
                                         std::span<const std::string> names) {
  std::set<std::string> all(names.begin(), names.end());
  for (const Result& result : results) {
    for (const auto& entry : result.captures) all.insert(entry.first);
  }
  return {all.begin(), all.end()};
}

template <class Item>
Column int_column(std::string name, std::span<const Item> items,
                  std::function<std::int64_t(const Item&)> value) {
  return {std::move(name), [](ArrowSchema& s) { arrow::set_format(s, "l"); },
          [=](ArrowArray& a, Interrupt& interrupt) {
            for (const Item& item : items) {
              interrupt.poll();
              arrow::append_int(a, value(item));
            }
          }};
}

template <class Item>
Column text_column(std::string name, std::span<const Item> items,
                   std::function<std::string_view(const Item&)> value) {
  return {std::move(name), [](ArrowSchema& s) { arrow::set_format(s, "u"); },
          [=](ArrowArray& a, Interrupt& interrupt) {
            for (const Item& item : items) {
              interrupt.poll();
              arrow::append_text(a, value(item));
            }
          }};
}

template <class Item>
Column indices_column(std::string name, std::span<const Item> items) {
  return {std::move(name), [](ArrowSchema& s) { arrow::set_list_of(s, "l"); },
          [=](ArrowArray& a, Interrupt& interrupt) {
            for (const Item& item : items) {
              interrupt.poll();
              for (const std::size_t index : item.indices) {
                arrow::append_int(*a.children[0], static_cast<std::int64_t>(index));
              }
              arrow::finish_list_element(a);
            }
          }};
}

template <class Item>
void add_capture_columns(std::vector<Column>& columns, std::span<const Item> items,
                         std::span<const std::string> names) {
  for (std::string& name : capture_columns(items, names)) {
    std::vector<const Value*> values;
    values.reserve(items.size());
    for (const Item& item : items) values.push_back(item.captures.find(name));
    const auto typed = std::make_shared<arrow::ValueColumn>(values);
    columns.push_back({"capture." + name,
                       [typed](ArrowSchema& s) { arrow::set_format(s, typed->format()); },
                       [typed, values = std::move(values)](ArrowArray& a, Interrupt& interrupt) {
                         for (const Value* value : values) {
                           interrupt.poll();
                           typed->append(a, value);
                         }
                       }});
  }
}

template <class Item>
void add_carried_columns(std::vector<Column>& columns, std::span<const Item> items,
                         const ResultEvents& events) {
  const EventSource& source = events.source;
  for (const CarriedColumn& carried : source.carried) {
    columns.push_back(
        {carried.name,
         [&carried](ArrowSchema& s) { arrow::set_list_of(s, carried.format.c_str()); },
         [&carried, &source, events, items](ArrowArray& a, Interrupt& interrupt) {
           for (std::size_t i = 0; i < items.size(); ++i) {
             interrupt.poll();
             const std::vector<std::size_t>& indices = items[i].indices;
             for (std::size_t k = 0; k < indices.size(); ++k) {
               const std::size_t position = events.position(i, k, indices[k]);
               if (position >= carried.values.size()) {
                 throw InternalError("a result names a position past the input");
               }
               arrow::append_cell(*a.children[0], carried.values[position], source.table.texts);
             }
             arrow::finish_list_element(a);
           }
         }});
  }
}

// `value` in JSON, as Python's json.dumps writes it.
void append_json_value(std::string& out, const std::optional<Value>& value) {
  if (!value) {
    out += "null";
    return;
  }
  switch (kind_of(*value)) {
    case ValueKind::String: return json::append_quoted(out, std::get<std::string>(*value));
    case ValueKind::Int: return json::append_integer(out, std::get<std::int64_t>(*value));
    case ValueKind::Bool: out += std::get<bool>(*value) ? "true" : "false"; return;
    case ValueKind::Null: out += "null"; return;
    case ValueKind::Float: break;
  }
  const double number = std::get<double>(*value);
  if (std::isnan(number)) {
    out += "NaN";
  } else if (std::isinf(number)) {
    out += number < 0 ? "-Infinity" : "Infinity";
  } else {
    json::append_float(out, number);
  }
}

class JsonObject {
 public:
  explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }
  JsonObject(const JsonObject&) = delete;
  JsonObject& operator=(const JsonObject&) = delete;
  ~JsonObject() { out_ += '}'; }

  void text(std::string_view key, std::string_view value) {
    next(key);
    json::append_quoted(out_, value);
  }
  void value(std::string_view key, const std::optional<Value>& value) {
    next(key);
    append_json_value(out_, value);
  }

 private:
  void next(std::string_view key) {
    if (!first_) out_ += ", ";
    first_ = false;
    json::append_quoted(out_, key);
    out_ += ": ";
  }

  std::string& out_;
  bool first_ = true;
};

void append_failure(std::string& out, const PredicateFailure& failure) {
  JsonObject object(out);
  object.text("type", failure_type_text(failure));
  if (const auto* p = std::get_if<PredicateMismatch>(&failure)) {
    object.text("attribute", p->attribute);
    object.text("operator", operator_symbol(p->op));
    object.value("expected", p->expected);
    object.value("actual", p->actual);
  } else if (const auto* r = std::get_if<ReferenceMismatch>(&failure)) {
    object.text("attribute", r->attribute);
    object.text("operator", operator_symbol(r->op));
    object.text("binding", r->binding);
    object.value("bound", r->bound);
    object.value("actual", r->actual);
  } else {
    const auto& c = std::get<CaptureConflict>(failure);
    object.text("name", c.name);
    object.text("attribute", c.attribute);
    object.value("bound", c.bound);
    object.value("actual", c.actual);
  }
}

// The failures as the JSON text of the list Python's detail["failures"] is.
std::string failures_json(const std::vector<PredicateFailure>& failures) {
  std::string out = "[";
  for (std::size_t i = 0; i < failures.size(); ++i) {
    if (i > 0) out += ", ";
    append_failure(out, failures[i]);
  }
  return out + "]";
}

// A near-miss detail field: present for some reasons, null for the others.
template <class Field>
using DetailField = std::function<std::optional<Field>(const NearMissDetail&)>;

Column optional_int_column(std::string name, std::span<const NearMiss> items,
                           std::function<void(ArrowSchema&)> set_type, std::int64_t divisor,
                           DetailField<std::int64_t> field) {
  return {std::move(name), std::move(set_type), [=](ArrowArray& a, Interrupt& interrupt) {
            for (const NearMiss& item : items) {
              interrupt.poll();
              const std::optional<std::int64_t> value = field(item.detail);
              if (value) {
                arrow::append_int(a, *value / divisor);
              } else {
                arrow::append_null(a);
              }
            }
          }};
}

Column optional_text_column(std::string name, std::span<const NearMiss> items,
                            DetailField<std::string> field) {
  return {std::move(name), [](ArrowSchema& s) { arrow::set_format(s, "u"); },
          [=](ArrowArray& a, Interrupt& interrupt) {
            for (const NearMiss& item : items) {
              interrupt.poll();
              const std::optional<std::string> value = field(item.detail);
              if (value) {
                arrow::append_text(a, *value);
              } else {
                arrow::append_null(a);
              }
            }
          }};
}

std::optional<std::int64_t> index_field(std::size_t index) {
  return static_cast<std::int64_t>(index);
}

void add_detail_columns(std::vector<Column>& columns, std::span<const NearMiss> items,
                        const TimeColumn& time) {
  const auto plain = [](ArrowSchema& s) { arrow::set_format(s, "l"); };
  const auto duration = [time](ArrowSchema& s) { arrow::set_duration(s, time); };
  const std::int64_t divisor = arrow::time_divisor(time);
  columns.push_back(
      optional_int_column("detail.event_index", items, plain, 1, [](const NearMissDetail& d) {
        const auto* p = std::get_if<PredicateFailed>(&d);
        return p ? index_field(p->event_index) : std::nullopt;
      }));
  columns.push_back(optional_text_column("detail.failures", items,
                                         [](const NearMissDetail& d) -> std::optional<std::string> {
                                           const auto* p = std::get_if<PredicateFailed>(&d);
                                           if (!p) return std::nullopt;
                                           return failures_json(p->failures);
                                         }));
  columns.push_back(
      optional_int_column("detail.candidate_index", items, plain, 1, [](const NearMissDetail& d) {
        if (const auto* a = std::get_if<AbsenceBlocked>(&d)) return index_field(a->candidate_index);
        if (const auto* w = std::get_if<WindowExceeded>(&d)) return index_field(w->candidate_index);
        return std::optional<std::int64_t>();
      }));
  columns.push_back(
      optional_int_column("detail.blocking_index", items, plain, 1, [](const NearMissDetail& d) {
        const auto* a = std::get_if<AbsenceBlocked>(&d);
        return a ? index_field(a->blocking_index) : std::nullopt;
      }));
  columns.push_back(optional_text_column("detail.blocking_event_type", items,
                                         [](const NearMissDetail& d) -> std::optional<std::string> {
                                           const auto* a = std::get_if<AbsenceBlocked>(&d);
                                           if (!a) return std::nullopt;
                                           return a->blocking_event_type;
                                         }));
  columns.push_back({"detail.candidate_satisfies",
                     [](ArrowSchema& s) { arrow::set_format(s, "b"); },
                     [items](ArrowArray& a, Interrupt& interrupt) {
                       for (const NearMiss& item : items) {
                         interrupt.poll();
                         const auto* blocked = std::get_if<AbsenceBlocked>(&item.detail);
                         if (blocked) {
                           arrow::append_int(a, blocked->candidate_satisfies ? 1 : 0);
                         } else {
                           arrow::append_null(a);
                         }
                       }
                     }});
  columns.push_back(optional_int_column("detail.gap", items, duration, divisor,
                                        [](const NearMissDetail& d) -> std::optional<std::int64_t> {
                                          const auto* w = std::get_if<WindowExceeded>(&d);
                                          if (!w) return std::nullopt;
                                          return w->gap;
                                        }));
  columns.push_back(optional_int_column("detail.max_elapsed", items, duration, divisor,
                                        [](const NearMissDetail& d) -> std::optional<std::int64_t> {
                                          const auto* w = std::get_if<WindowExceeded>(&d);
                                          if (!w) return std::nullopt;
                                          return w->max_elapsed;
                                        }));
}

// A funnel time in the column's type: float64 for integer time, else a
// duration rounded to the unit.
void append_funnel_time(ArrowArray& a, const std::optional<double>& value, const TimeColumn& time) {
  if (!value) return arrow::append_null(a);
  if (time.kind == TimeColumn::Kind::Integer) return arrow::append_double(a, *value);
  arrow::append_int(a, static_cast<std::int64_t>(std::nearbyint(
                           *value / static_cast<double>(arrow::time_divisor(time)))));
}

struct FunnelRow {
  const FunnelGroup* group;
  const FunnelStep* step;
};

Column funnel_count(std::string name, std::span<const FunnelRow> rows,
                    std::function<std::size_t(const FunnelStep&)> count) {
  return int_column<FunnelRow>(std::move(name), rows, [count](const FunnelRow& row) {
    return static_cast<std::int64_t>(count(*row.step));
  });
}

}  // namespace

Result<bool> export_matches(std::span<const Match> matches, ResultEvents events,
                            ArrowArrayStream& out, std::span<const std::string> capture_names,
                            Interrupt interrupt) {
  const EventSource& source = events.source;
  const TimeColumn& time = source.time;
  const std::int64_t divisor = arrow::time_divisor(time);
  const std::vector<std::size_t> rows = rows_by_position(source.table);
  const EventTable& table = source.table;
  std::vector<Column> columns;
  columns.push_back(text_column<Match>(
      "partition", matches, [](const Match& m) -> std::string_view { return m.partition; }));
  columns.push_back(indices_column("indices", matches));
  columns.push_back({"types", [](ArrowSchema& s) { arrow::set_list_of(s, "u"); },
                     [&](ArrowArray& a, Interrupt& interrupt) {
                       for (std::size_t i = 0; i < matches.size(); ++i) {
                         interrupt.poll();
                         const std::vector<std::size_t>& indices = matches[i].indices;
                         for (std::size_t k = 0; k < indices.size(); ++k) {
                           const std::size_t position = events.position(i, k, indices[k]);
                           if (position >= rows.size()) {
                             throw InternalError("a result names a position past the input");
                           }
                           const TextId type = table.types[rows[position]];
                           arrow::append_text(*a.children[0], table.texts.text(type));
                         }
                         arrow::finish_list_element(a);
                       }
                     }});
  for (const char* name : {"start", "end"}) {
    const bool start = std::string_view(name) == "start";
    columns.push_back({name, [&time](ArrowSchema& s) { arrow::set_time(s, time); },
                       [=](ArrowArray& a, Interrupt& interrupt) {
                         for (const Match& match : matches) {
                           interrupt.poll();
                           arrow::append_int(a, (start ? match.start : match.end) / divisor);
                         }
                       }});
  }
  add_capture_columns(columns, matches, capture_names);
  add_carried_columns(columns, matches, events);
  return arrow::write_stream(columns, matches.size(), out, interrupt);
}

Result<bool> export_near_misses(std::span<const NearMiss> near_misses, ResultEvents events,
                                ArrowArrayStream& out, std::span<const std::string> capture_names,
                                Interrupt interrupt) {
  const EventSource& source = events.source;
  std::vector<Column> columns;
  columns.push_back(text_column<NearMiss>(
      "partition", near_misses, [](const NearMiss& n) -> std::string_view { return n.partition; }));
  columns.push_back(int_column<NearMiss>("start_index", near_misses, [](const NearMiss& n) {
    return static_cast<std::int64_t>(n.start_index);
  }));
  columns.push_back(indices_column("indices", near_misses));
  columns.push_back(int_column<NearMiss>("reached_steps", near_misses, [](const NearMiss& n) {
    return static_cast<std::int64_t>(n.reached_steps);
  }));
  columns.push_back(text_column<NearMiss>(
      "next_event_type", near_misses,
      [](const NearMiss& n) -> std::string_view { return n.next_event_type; }));
  columns.push_back(text_column<NearMiss>("reason", near_misses,
                                          [](const NearMiss& n) { return reason_text(n.detail); }));
  add_detail_columns(columns, near_misses, source.time);
  add_capture_columns(columns, near_misses, capture_names);
  add_carried_columns(columns, near_misses, events);
  return arrow::write_stream(columns, near_misses.size(), out, interrupt);
}

Result<bool> export_funnel(std::span<const FunnelGroup> groups, const EventSource& source,
                           ArrowArrayStream& out, std::optional<std::string_view> by,
                           Interrupt interrupt) {
  std::vector<FunnelRow> rows;
  for (const FunnelGroup& group : groups) {
    if (group.key && !by) throw InternalError("a funnel group has a key but no `by` column");
    for (const FunnelStep& step : group.steps) rows.push_back({&group, &step});
  }
  const std::span<const FunnelRow> items = rows;
  const TimeColumn& time = source.time;
  std::vector<Column> columns;
  if (by) {
    std::vector<const Value*> keys;
    for (const FunnelRow& row : rows) keys.push_back(row.group->key ? &*row.group->key : nullptr);
    const auto typed = std::make_shared<arrow::ValueColumn>(keys);
    columns.push_back({std::string(*by),
                       [typed](ArrowSchema& s) { arrow::set_format(s, typed->format()); },
                       [typed, keys = std::move(keys)](ArrowArray& a, Interrupt& interrupt) {
                         for (const Value* key : keys) {
                           interrupt.poll();
                           typed->append(a, key);
                         }
                       }});
  }
  columns.push_back(funnel_count("step", items, [](const FunnelStep& s) { return s.step; }));
  columns.push_back(text_column<FunnelRow>(
      "event_type", items,
      [](const FunnelRow& r) -> std::string_view { return r.step->event_type; }));
  columns.push_back(funnel_count("entered", items, [](const FunnelStep& s) { return s.entered; }));
  columns.push_back(funnel_count("dropped", items, [](const FunnelStep& s) {
    return s.dropped[0] + s.dropped[1] + s.dropped[2] + s.dropped[3];
  }));
  const char* reasons[] = {"dropped_predicate_failed", "dropped_absence_blocked",
                           "dropped_window_exceeded", "dropped_no_successor"};
  for (std::size_t reason = 0; reason < 4; ++reason) {
    columns.push_back(funnel_count(reasons[reason], items,
                                   [reason](const FunnelStep& s) { return s.dropped[reason]; }));
  }
  columns.push_back({"conversion", [](ArrowSchema& s) { arrow::set_format(s, "g"); },
                     [items](ArrowArray& a, Interrupt& interrupt) {
                       for (const FunnelRow& row : items) {
                         interrupt.poll();
                         if (row.step->conversion) {
                           arrow::append_double(a, *row.step->conversion);
                         } else {
                           arrow::append_null(a);
                         }
                       }
                     }});
  for (const bool p50 : {true, false}) {
    columns.push_back({p50 ? "time_p50" : "time_p90",
                       [&time](ArrowSchema& s) {
                         if (time.kind == TimeColumn::Kind::Integer)
                           return arrow::set_format(s, "g");
                         arrow::set_duration(s, time);
                       },
                       [items, &time, p50](ArrowArray& a, Interrupt& interrupt) {
                         for (const FunnelRow& row : items) {
                           interrupt.poll();
                           append_funnel_time(a, p50 ? row.step->time_p50 : row.step->time_p90,
                                              time);
                         }
                       }});
  }
  return arrow::write_stream(columns, rows.size(), out, interrupt);
}

Result<bool> export_funnel_pieces(const FunnelPieces& pieces, ArrowArrayStream& out,
                                  Interrupt interrupt) {
  const std::span<const FunnelPiece> items = pieces.pieces;
  std::vector<Column> columns;
  columns.push_back(int_column<FunnelPiece>(kPiecePosition, items, [](const FunnelPiece& p) {
    return static_cast<std::int64_t>(p.position);
  }));
  columns.push_back(int_column<FunnelPiece>(
      kPieceDepth, items, [](const FunnelPiece& p) { return static_cast<std::int64_t>(p.depth); }));
  columns.push_back(int_column<FunnelPiece>(kPieceReason, items, [](const FunnelPiece& p) {
    return static_cast<std::int64_t>(p.reason);
  }));
  for (std::size_t k = 2; k <= pieces.steps; ++k) {
    columns.push_back({kPieceTimePrefix + std::to_string(k),
                       [](ArrowSchema& s) { arrow::set_format(s, "l"); },
                       [&pieces, k](ArrowArray& a, Interrupt& interrupt) {
                         for (std::size_t i = 0; i < pieces.pieces.size(); ++i) {
                           interrupt.poll();
                           if (const std::optional<std::int64_t> time = pieces.time(i, k)) {
                             arrow::append_int(a, *time);
                           } else {
                             arrow::append_null(a);
                           }
                         }
                       }});
  }
  return arrow::write_stream(columns, items.size(), out, interrupt);
}

}  // namespace kestrel
