#include "tools/staff/staff_table.h"

namespace corvantis {

using namespace tabula;

void DefineStaffTable(TTabulaTable& table) {
  TFieldDefs& fields = table.FieldDefs();
  fields.Clear();
  fields.Add("Record_ID", ftAutoInc);
  fields.Add("Staff_ID", ftInteger);
  fields.Add("Staff_Name", ftString, 25);
  fields.Add("Active", ftBoolean);
  fields.Add("Nutritionist", ftBoolean);
  fields.Add("Case_Manager", ftBoolean);
  fields.Add("Driver", ftBoolean);
  fields.Add("Volunteer", ftBoolean);
  fields.Add("Password", ftString, 10);
  fields.Add("Access_Level", ftString, 1);
  fields.Add("User_ID", ftString, 12);
  fields.Add("PreferredTab", ftString, 20);
  fields.Add("DSort_Order", ftString, 15);
  fields.Add("Visible_Tabs", ftInteger);
  fields.Add("DTab", ftInteger);
  fields.Add("Conserve_Resources", ftString, 1);
  fields.Add("Preferred_Delivery_Report", ftInteger);
  fields.Add("Preferred_Counseling_Report", ftInteger);
  fields.Add("Preferred_Alerts_Report", ftInteger);
  fields.Add("Preferred_Agency_Report", ftInteger);
  fields.Add("Execute_OnOpen_Query", ftBoolean);
  fields.Add("Execute_OnClose_Query", ftBoolean);
  fields.Add("Prepare_Data_Prompt", ftString, 1);
  fields.Add("Display_Prepared_Data", ftString, 1);
  fields.Add("Create_Date", ftDate);
  fields.Add("Last_Updated", ftDateTime);
  TIndexDefs& indexes = table.IndexDefs();
  indexes.Clear();
  indexes.Add(kStaffPrimaryIndexName, "Record_ID", ixPrimary | ixUnique);
  indexes.Add("STAFF_NAME", "Staff_Name", ixCaseInsensitive);
  indexes.Add("STAFF_ID", "Staff_ID", ixUnique);
  indexes.Add("USER_ID", "User_ID", ixCaseInsensitive);
}

}  // namespace corvantis
