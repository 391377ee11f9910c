#include "engine/base/engine_error.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace tabula {
namespace {

ETabulaEngineError CatchRaise(std::uint16_t code, const std::string& remote, const std::string& user,
                              const std::string& database, const std::string& table,
                              const std::string& field, const std::string& index,
                              const std::string& message) {
  try {
    RaiseEngineError(code, remote, user, database, table, field, index, message);
  } catch (const ETabulaEngineError& error) {
    return error;
  }
  ADD_FAILURE() << "RaiseEngineError returned";
  return ETabulaEngineError(code);
}

ETabulaEngineError CatchTable(std::uint16_t code, const std::string& table,
                              const std::string& field = "", const std::string& index = "",
                              const std::string& message = "") {
  return CatchRaise(code, "", "", "", table, field, index, message);
}

TEST(EngineErrorTest, MessagesOfTheCommonCases) {
  ETabulaEngineError e = CatchTable(TABULA_OSENOENT, "Staff");
  EXPECT_EQ(e.ErrorCode(), 11010);
  EXPECT_EQ(EngineErrorText(11010), "Table 'Staff' does not exist");
  EXPECT_STREQ(e.what(), "Tabula Engine Error # 11010 Table 'Staff' does not exist");
  EXPECT_EQ(e.ErrorTableName(), "Staff");

  e = CatchTable(TABULA_KEYVIOL, "Staff", "", "USER_ID");
  EXPECT_EQ(EngineErrorText(TABULA_KEYVIOL),
            "Duplicate key found in the index 'USER_ID' of the table 'Staff'");
  EXPECT_EQ(e.ErrorIndexName(), "USER_ID");
}

TEST(EngineErrorTest, OsUnknownShowsTheOsErrorNumber) {
  errno = 5;
  ETabulaEngineError e = CatchTable(TABULA_OSUNKNOWN, "Staff");
  EXPECT_EQ(e.OSErrorCode(), 5);
  EXPECT_EQ(EngineErrorText(TABULA_OSUNKNOWN),
            "An unknown operating system error 5 occurred with the table 'Staff'");
}

TEST(EngineErrorTest, DefaultTextAndNames) {
  struct Row {
    std::uint16_t code;
    const char* name;
  } rows[] = {{0, "TABULA_NONE"}, {11284, "TABULA_REMOTECALLBACK"}, {1, ""}, {65535, ""}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    ETabulaEngineError e = CatchTable(row.code, "T");
    EXPECT_EQ(EngineErrorText(row.code), "An unknown error occurred");
    EXPECT_EQ(std::string(e.what()),
              "Tabula Engine Error # " + std::to_string(row.code) + " An unknown error occurred");
    EXPECT_EQ(EngineErrorName(row.code), row.name);
  }
}

// Every code of the table formats without leftover markers, and with every slot filled by a
// text that names its slot, each marker shows the right slot.
TEST(EngineErrorTest, AllCodesFormat) {
  int known = 0;
  std::set<std::string> names;
  for (int code = 0; code <= 0xFFFF; ++code) {
    if (!IsKnownEngineError(static_cast<std::uint16_t>(code))) continue;
    ++known;
    SCOPED_TRACE(code);
    const std::string name = EngineErrorName(static_cast<std::uint16_t>(code));
    EXPECT_EQ(name.rfind("TABULA_", 0), 0u);
    names.insert(name);
    ETabulaEngineError e = CatchRaise(static_cast<std::uint16_t>(code), "SRV", "USR", "DB", "TBL",
                                      "FLD", "IDX", "MSG");
    const std::string text = EngineErrorText(static_cast<std::uint16_t>(code));
    EXPECT_EQ(text.find("%s"), std::string::npos);
    EXPECT_EQ(std::string(e.what()),
              "Tabula Engine Error # " + std::to_string(code) + " " + text);
  }
  EXPECT_EQ(known, kEngineErrorCount);
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kEngineErrorCount));

  struct Row {
    std::uint16_t code;
    const char* text;
  } rows[] = {
      {TABULA_INVALIDIDXDESC, "Invalid field number 'FLD' specified in the index 'IDX' for the table 'TBL'"},
      {TABULA_REMOTENOTAUTH, "The user 'USR' is not authorized to perform this operation with the "
                             "database 'DB' on the database server at 'SRV'"},
      {TABULA_REMOTEUNKNOWN, "An unknown error ('MSG') occurred with the connection to the database "
                             "server at 'SRV', please check the server log"},
      {TABULA_INVALIDFILTER, "Filter error for the table 'TBL' - MSG"},
      {TABULA_SQLPARSE, "SQL error - MSG"},
      {TABULA_REMOTEINVUSER, "The user name is either invalid or blank"},
      {TABULA_SEARCHCOLREQD, "Invalid field 'FLD' specified for the index 'IDX' in the table 'TBL'"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    CatchRaise(row.code, "SRV", "USR", "DB", "TBL", "FLD", "IDX", "MSG");
    EXPECT_EQ(EngineErrorText(row.code), row.text);
  }
}

TEST(EngineErrorTest, ContextTextIsNeverAFormatDirective) {
  CatchTable(TABULA_KEYVIOL, "100%s %d %n", "", "I%s");
  EXPECT_EQ(EngineErrorText(TABULA_KEYVIOL),
            "Duplicate key found in the index 'I%s' of the table '100%s %d %n'");
  EXPECT_EQ(FormatMessageText("Session name %s is not valid.", {"a%sb"}),
            "Session name a%sb is not valid.");
  EXPECT_EQ(FormatMessageText("%s and %s", {"x"}), "x and ");
}

TEST(EngineErrorTest, LongTextsAreCut) {
  const std::string long_name(400, 'n');
  ETabulaEngineError e = CatchTable(TABULA_OSENOENT, long_name);
  EXPECT_EQ(e.ErrorTableName().size(), 255u);
  const std::string text = EngineErrorText(TABULA_OSENOENT);
  EXPECT_EQ(text.size(), 254u);
  EXPECT_EQ(text.substr(0, 7), "Table '");
}

TEST(EngineErrorTest, RaiseClearsThePreviousContext) {
  CatchRaise(TABULA_KEYVIOL, "S", "U", "D", "T", "F", "I", "M");
  ETabulaEngineError e = CatchTable(TABULA_EOF, "Other");
  EXPECT_EQ(e.ErrorIndexName(), "");
  EXPECT_EQ(e.ErrorRemoteName(), "");
  EXPECT_EQ(LastEngineErrorCode(), TABULA_EOF);
}

TEST(EngineErrorTest, ReRaiseKeepsTheCaughtContext) {
  CatchTable(TABULA_KEYVIOL, "Staff", "", "USER_ID");
  try {
    throw ETabulaEngineError(TABULA_KEYVIOL);
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.ErrorIndexName(), "USER_ID");
    EXPECT_STREQ(e.what(),
                 "Tabula Engine Error # 9729 Duplicate key found in the index 'USER_ID' of the "
                 "table 'Staff'");
  }
}

TEST(EngineErrorTest, CodeOfExceptions) {
  ETabulaEngineError e = CatchTable(TABULA_LOCKED, "T");
  EXPECT_EQ(EngineErrorCodeOf(e), TABULA_LOCKED);
  EXPECT_EQ(EngineErrorCodeOf(std::runtime_error("x")), TABULA_OSUNKNOWN);
  EXPECT_EQ(EngineErrorCodeOf(EDatabaseError("x")), TABULA_OSUNKNOWN);
  const EDatabaseError& as_base = e;
  EXPECT_EQ(EngineErrorCodeOf(as_base), TABULA_LOCKED);
}

TEST(EngineErrorTest, ComponentErrors) {
  try {
    DatabaseError(kInTransaction, "Main");
    FAIL();
  } catch (const ETabulaEngineError&) {
    FAIL() << "component errors are not engine errors";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Database Main already has an active transaction.");
  }
}

TEST(EngineErrorTest, SocketErrorIsRecorded) {
  SetLastSocketError(10061);
  ETabulaEngineError e = CatchRaise(TABULA_REMOTECONNECT, "10.0.0.1", "", "", "", "", "", "");
  SetLastSocketError(0);
  EXPECT_EQ(e.SocketErrorCode(), 10061);
  EXPECT_EQ(EngineErrorText(TABULA_REMOTECONNECT),
            "A connection to the database server at '10.0.0.1' cannot be established");
}

// Each thread's exception must describe its own raise: the record-and-construct sequence is
// atomic under the context lock.
TEST(EngineErrorTest, ConcurrentRaisesKeepTheirOwnContext) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  std::vector<int> mismatches(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &mismatches] {
      const std::string table = "Table" + std::to_string(t);
      const std::uint16_t code = (t % 2 == 0) ? TABULA_OSENOENT : TABULA_TABLEOPEN;
      for (int i = 0; i < kRounds; ++i) {
        try {
          RaiseTableError(code, table);
        } catch (const ETabulaEngineError& e) {
          const std::string expected_text = (code == TABULA_OSENOENT)
                                                ? "Table '" + table + "' does not exist"
                                                : "The table '" + table + "' is already in use";
          if (e.ErrorCode() != code || e.ErrorTableName() != table ||
              std::string(e.what()) != "Tabula Engine Error # " + std::to_string(code) + " " +
                                            expected_text) {
            ++mismatches[t];
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace tabula
