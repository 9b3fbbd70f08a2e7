// Datetimes are held as nanoseconds whatever their unit, so batches in
// different units agree; results are written in the finest unit seen, which
// loses nothing of any batch. An all-null carried column has the null format
// "n" and takes any later type; a typed one takes later all-null batches.
#include "engine/stream/stream_columns.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "engine/stream/source_builder.hpp"

namespace kestrel {

namespace {

std::string describe(const TimeColumn& time) {
  if (time.kind == TimeColumn::Kind::Integer) return "integers";
  return "datetimes in " + time.unit + (time.timezone.empty() ? "" : " (" + time.timezone + ")");
}

int fineness(const std::string& unit) {
  static constexpr std::array<std::string_view, 4> kUnits{"s", "ms", "us", "ns"};
  return static_cast<int>(std::find(kUnits.begin(), kUnits.end(), unit) - kUnits.begin());
}

Result<TimeColumn> joined_time(const TimeColumn& stream, const TimeColumn& batch) {
  if (batch.kind != stream.kind ||
      (stream.kind == TimeColumn::Kind::Datetime && batch.timezone != stream.timezone)) {
    return Error{"a batch's timestamps are " + describe(batch) + ", but the stream's are " +
                 describe(stream)};
  }
  return fineness(batch.unit) > fineness(stream.unit) ? batch : stream;
}

Result<std::vector<CarriedColumn>> joined_carried(const std::vector<CarriedColumn>& stream,
                                                  const std::vector<CarriedColumn>& batch) {
  const auto refused = Error{"a batch's carried columns differ in name or type from the stream's"};
  if (stream.size() != batch.size()) return refused;
  std::vector<CarriedColumn> joined;
  for (std::size_t c = 0; c < stream.size(); ++c) {
    const CarriedColumn& old = stream[c];
    const CarriedColumn& now = batch[c];
    const std::optional<std::string> format = joined_format(old.format, now.format);
    if (old.name != now.name || !format) return refused;
    joined.push_back({old.name, *format, {}});
  }
  return joined;
}

// The first input position whose value does not fit 64 bits once scaled.
std::optional<std::size_t> first_unscalable(const std::vector<Cell>& values, std::int64_t factor) {
  if (factor == 1) return std::nullopt;
  std::int64_t product = 0;
  for (std::size_t position = 0; position < values.size(); ++position) {
    const Cell& value = values[position];
    if (value.kind == CellKind::Int && __builtin_mul_overflow(value.integer, factor, &product)) {
      return position;
    }
  }
  return std::nullopt;
}

// Carried values held or pushed in a coarser unit than the columns' must
// fit 64 bits in theirs.
Result<bool> check_scalable(const Columns& stream, const Columns& joined, const EventSource& held,
                            const EventSource& batch, std::size_t first_position) {
  for (std::size_t c = 0; c < joined.carried.size(); ++c) {
    const std::string& format = joined.carried[c].format;
    std::optional<std::size_t> position;
    if (const auto at = first_unscalable(held.carried[c].values,
                                         unit_factor(stream.carried[c].format, format))) {
      position = held.stream_positions[*at];
    } else if (const auto in_batch = first_unscalable(
                   batch.carried[c].values, unit_factor(batch.carried[c].format, format))) {
      position = first_position + *in_batch;
    }
    if (position) {
      return error_naming(
                 "carried column `" + joined.carried[c].name + "`: the value at stream position ",
                 ErrorNumber::Counts::StreamPositions, *position) +
             " does not fit 64 bits in " + std::string(unit_name(format)) +
             ", the finest unit of its batches";
    }
  }
  return true;
}

}  // namespace

Columns columns_of(const EventSource& batch) {
  return Columns{batch.time, joined_carried(batch.carried, batch.carried).value()};
}

Result<Columns> joined_columns(const Columns& stream, const EventSource& held,
                               const EventSource& batch, std::size_t first_position) {
  Result<TimeColumn> time = joined_time(stream.time, batch.time);
  if (!time) return time.failure();
  Result<std::vector<CarriedColumn>> carried = joined_carried(stream.carried, batch.carried);
  if (!carried) return carried.failure();
  Columns columns{std::move(time.value()), std::move(carried.value())};
  if (Result<bool> scalable = check_scalable(stream, columns, held, batch, first_position);
      !scalable) {
    return scalable.failure();
  }
  return columns;
}

}  // namespace kestrel
