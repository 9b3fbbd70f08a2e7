// The engine's data model: values, events and their order, patterns, match
// results and interrupts. Each concept has its own header; this one gathers
// them for code that uses several.
#pragma once

#include "kestrel/error.hpp"
#include "kestrel/event.hpp"
#include "kestrel/interrupt.hpp"
#include "kestrel/match.hpp"
#include "kestrel/pattern.hpp"
#include "kestrel/value.hpp"
