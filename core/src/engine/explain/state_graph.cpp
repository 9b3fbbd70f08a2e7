// The near-miss search's interned bindings: bit-identical bindings get one
// id, so that the states of a level that share them form one group.
#include "engine/explain/state_graph.hpp"

#include <cstdint>
#include <utility>
#include <variant>

#include "engine/explain/overloaded.hpp"

namespace kestrel {

namespace {

void append_bytes(std::string& key, const void* data, std::size_t size) {
  key.append(static_cast<const char*>(data), size);
}

// Equal keys mean bit-identical bindings (floats by their bits), which
// certainly behave alike; unlike value equality it also lets a NaN be shared.
std::string identity_key(const Bindings& bindings) {
  std::string key;
  for (const auto& [name, value] : bindings) {
    const std::uint64_t length = name.size();
    append_bytes(key, &length, sizeof length);
    key += name;
    key += static_cast<char>(value.index());
    std::visit(Overloaded{
                   [&](const std::string& text) {
                     const std::uint64_t size = text.size();
                     append_bytes(key, &size, sizeof size);
                     key += text;
                   },
                   [&](std::int64_t number) { append_bytes(key, &number, sizeof number); },
                   [&](double number) { append_bytes(key, &number, sizeof number); },
                   [&](bool flag) { key += flag ? '\1' : '\0'; },
                   [](Null) {},
               },
               value);
  }
  return key;
}

}  // namespace

std::size_t BindingsTable::intern(Bindings bindings) {
  auto [it, inserted] = ids_.try_emplace(identity_key(bindings), all_.size());
  if (inserted) all_.push_back(std::move(bindings));
  return it->second;
}

}  // namespace kestrel
