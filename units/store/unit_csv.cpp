#include "unit_csv.h"

namespace {

std::string csv_field(const db_value &v) {
  if (!v) return "";
  if (v->find_first_of(",\"\r\n") == std::string::npos) return *v;
  std::string out = "\"";
  for (char c : *v) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string csv_record(const std::vector<db_value> &fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    line += csv_field(fields[i]);
  }
  return line + "\r\n";
}

std::string unit_columns(int schema) { return schema >= 3 ? "*" : "*, NULL AS failure_class"; }

std::string step_columns(int schema) {
  return schema >= 3 ? "steps.*" : "steps.*, NULL AS failure_class, NULL AS kept";
}

std::string export_sql(const std::string &what, const std::string &since,
                       const std::string &until, int64_t after_id, int64_t limit,
                       std::vector<db_value> *params, int schema) {
  bool units = what == "units";
  if (!units && what != "steps") return "";
  // The units of the part: by id, so that their steps follow them.
  std::string chosen = " WHERE 1 = 1";
  if (!since.empty()) {
    chosen += " AND started >= ?";
    params->push_back(since);
  }
  if (!until.empty()) {
    chosen += " AND started < ?";
    params->push_back(until);
  }
  if (after_id > 0) {
    chosen += " AND id > CAST(? AS BIGINT)";
    params->push_back(std::to_string(after_id));
  }
  if (units) {
    return "SELECT " + unit_columns(schema) + " FROM units" + chosen + " ORDER BY id" +
           (limit > 0 ? " LIMIT " + std::to_string(limit) : "");
  }
  std::string ids = "SELECT id FROM units" + chosen;
  if (limit > 0) ids += " ORDER BY id LIMIT " + std::to_string(limit);
  return "SELECT units.serial AS serial, " + step_columns(schema) +
         " FROM steps JOIN units ON units.id = steps.unit_id"
         " WHERE steps.unit_id IN (" +
         ids + ") ORDER BY steps.unit_id, steps.step";
}
