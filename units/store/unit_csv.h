// The record as CSV: the same files from kesp-units export and from the
// dashboard's export, one statement and one quoting for both.
#pragma once

#include <string>
#include <vector>

#include "unit_store.h"

// The statement that exports units or steps ("" for anything else) of the
// units started at or after since and before until ("" for no bound, both
// as the record writes its times); after_id > 0 takes only the units
// (or their steps) of a higher id, and limit > 0 that many units at most,
// so that a long period is read a part at a time.
std::string export_sql(const std::string &what, const std::string &since,
                       const std::string &until, int64_t after_id, int64_t limit,
                       std::vector<db_value> *params, int schema = UNIT_SCHEMA_VERSION);

// The columns of units and of steps, those that schema version 3 added
// read as NULL from an older record, so that every lookup and export
// shows the same columns whatever the record's version.
std::string unit_columns(int schema);
std::string step_columns(int schema);

// One RFC 4180 record, CRLF included: a field is quoted when it holds a
// comma, a quote or a line break, quotes doubled. NULL is the empty field.
std::string csv_record(const std::vector<db_value> &fields);
