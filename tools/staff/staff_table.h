// The staff table's layout, as the dataset components define it: the 26 fields of Staff.dat and
// its four indexes (primary on Record_ID, case-insensitive STAFF_NAME, unique STAFF_ID and
// case-insensitive USER_ID on User_ID). The demo data maker and the benchmark both create the
// table from here, so that they always build the same table the tool opens.
//
// Not thread-safe beyond what TTabulaTable itself is.
#pragma once

#include "components/tabula.h"

namespace corvantis {

// The primary index's name in Staff.dat.
inline constexpr const char* kStaffPrimaryIndexName = "TabulaTableUsersIndex1";

// Replaces the field and index definitions of `table` with the staff table's. The table is not
// created: call CreateTable() afterwards.
// REQUIRES: `table` is closed.
void DefineStaffTable(tabula::TTabulaTable& table);

}  // namespace corvantis
