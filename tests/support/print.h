// print.h: readable GoogleTest output for the core's types.
#pragma once

#include "readers/archive_error.h"

#include <ostream>

namespace vexel {

inline void PrintTo(const ArchiveError& error, std::ostream* out) {
  *out << "ArchiveError(" << static_cast<int>(error.kind()) << ", \"" << error.payload() << "\")";
}

}  // namespace vexel
