// corvantis-demo: creates the demo staff table Staff.dat in a directory, for trying the tool.
//
//   corvantis-demo [--force] <directory>
//
// The table has the staff table's 26 fields and four indexes ("USER_ID" covers User_ID) and a
// few dozen plausible records, generated the same way on every run. An existing Staff.dat is
// left alone unless --force is given. Exit status 0 on success, 1 on an error (shown on
// stderr), 2 on a usage error.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "components/tabula.h"
#include "tools/staff/staff_table.h"

namespace {

using namespace tabula;

// A small deterministic generator, so that every run makes the same records.
class TDemoRandom {
 public:
  explicit TDemoRandom(std::uint32_t seed) : state_(seed) {}
  std::uint32_t Next() {
    state_ = state_ * 1664525u + 1013904223u;
    return state_ >> 8;
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint32_t>(n)); }

 private:
  std::uint32_t state_;
};

void FillStaffTable(TTabulaTable& table, int count) {
  static const char* const kFirst[] = {"Maria",  "James", "Aisha",  "Tomasz", "Lena",
                                       "Kofi",   "Priya", "Daniel", "Sofia",  "Hiroshi",
                                       "Grace",  "Mateo", "Nadia",  "Owen",   "Ingrid",
                                       "Samuel", "Chloe", "Ravi",   "Elena",  "Marcus"};
  static const char* const kLast[] = {
      "Alvarez",  "Brennan", "Chowdhury", "Dabrowski", "Eriksen",   "Fofana",  "Gallo",
      "Hartmann", "Ivanova", "Jensen",    "Kowalski",  "Lindqvist", "Moreau",  "Nakamura",
      "Okafor",   "Petrov",  "Quinn",     "Rossi",     "Silva",     "Thompson"};
  static const char* const kAccess = "WWRRRO";
  static const char* const kPrompt = "M14D";
  static const char* const kDisplay = "NAFR";
  TDemoRandom random(20240611);
  std::vector<std::string> user_ids;
  table.Open();
  for (int i = 0; i < count; ++i) {
    const std::string first = kFirst[random.Below(20)];
    const std::string last = kLast[random.Below(20)];
    std::string user_id = std::string(1, static_cast<char>(first[0] | 0x20));
    for (char c : last) user_id += static_cast<char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
    user_id = user_id.substr(0, 10);
    const std::string base = user_id;
    for (int n = 2; std::find(user_ids.begin(), user_ids.end(), user_id) != user_ids.end(); ++n) {
      user_id = base + std::to_string(n);
    }
    user_ids.push_back(user_id);
    table.Append();
    table.FieldByName("Staff_ID").SetAsInteger(i + 1);
    table.FieldByName("Staff_Name").SetAsString(first + " " + last);
    table.FieldByName("Active").SetAsBoolean(random.Below(10) != 0);
    table.FieldByName("Nutritionist").SetAsBoolean(random.Below(4) == 0);
    table.FieldByName("Case_Manager").SetAsBoolean(random.Below(3) == 0);
    table.FieldByName("Driver").SetAsBoolean(random.Below(5) == 0);
    table.FieldByName("Volunteer").SetAsBoolean(random.Below(6) == 0);
    if (random.Below(3) == 0) table.FieldByName("Password").SetAsString("pw" + std::to_string(i));
    table.FieldByName("Access_Level").SetAsString(std::string(1, kAccess[random.Below(6)]));
    table.FieldByName("User_ID").SetAsString(user_id);
    table.FieldByName("Visible_Tabs").SetAsInteger(static_cast<std::int32_t>(random.Next() % 2048));
    table.FieldByName("DTab").SetAsInteger(0);
    table.FieldByName("Conserve_Resources").SetAsString(random.Below(4) == 0 ? "Y" : "N");
    for (const char* report : {"Preferred_Delivery_Report", "Preferred_Counseling_Report",
                               "Preferred_Alerts_Report", "Preferred_Agency_Report"}) {
      table.FieldByName(report).SetAsInteger(random.Below(4));
    }
    table.FieldByName("Execute_OnOpen_Query").SetAsBoolean(random.Below(4) == 0);
    table.FieldByName("Execute_OnClose_Query").SetAsBoolean(random.Below(5) == 0);
    table.FieldByName("Prepare_Data_Prompt").SetAsString(std::string(1, kPrompt[random.Below(4)]));
    table.FieldByName("Display_Prepared_Data")
        .SetAsString(std::string(1, kDisplay[random.Below(4)]));
    const TDateTime created = EncodeDateTime(2019, 1 + random.Below(12), 1 + random.Below(28));
    table.FieldByName("Create_Date").SetAsDateTime(created);
    table.FieldByName("Last_Updated")
        .SetAsDateTime(created + random.Below(900) + random.Below(86400) / 86400.0);
    table.Post();
  }
  table.Close();
}

}  // namespace

int main(int argc, char** argv) {
  bool force = false;
  std::string directory;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--force") {
      force = true;
    } else if (directory.empty() && !arg.empty() && arg[0] != '-') {
      directory = arg;
    } else {
      directory.clear();
      break;
    }
  }
  if (directory.empty()) {
    std::fprintf(stderr, "usage: corvantis-demo [--force] <directory>\n");
    return 2;
  }
  try {
    TTabulaTable table;
    table.SetDatabaseName(directory);
    table.SetTableName("Staff.dat");
    if (table.Exists()) {
      if (!force) {
        std::printf("%s: Staff.dat exists, left as it is\n", directory.c_str());
        return 0;
      }
      table.DeleteTable();
    }
    corvantis::DefineStaffTable(table);
    table.CreateTable();
    FillStaffTable(table, 40);
    std::printf("%s: Staff.dat created with 40 records\n", directory.c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "corvantis-demo: %s\n", error.what());
    return 1;
  }
  return 0;
}
