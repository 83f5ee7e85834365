// child_order.h: the order in which the outline shows a folder's children.
//
// Folders first, then natural name order (the current locale's collation
// with numeric runs), stable. The collation key of each name is made once;
// for a huge folder that is most of the work, so the background step that
// prepares the first rows makes the keys under the preview's deadline and,
// should it run out, falls back to folders first in archive order, which
// needs no keys and takes one pass.
//
//   auto order = quicklook_internal::displayOrder(folder, [&] { return clock() > deadline; });
//
// Reads the tree only; safe from any thread.
#pragma once

#include <functional>
#include <vector>

#include "model/archive_tree.h"

namespace vexel::quicklook_internal {

// displayOrder: the children of `folder` in display order. `isLate`, when
// given, is asked every 1024 names while the keys are made and every 65536
// comparisons while they are sorted; once it answers true the order is
// folders first in archive order. `isLate` must not throw.
[[nodiscard]] std::vector<const ArchiveNode*> displayOrder(
    const ArchiveNode& folder, const std::function<bool()>& isLate = {});

}  // namespace vexel::quicklook_internal
