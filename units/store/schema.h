// The record's schema and its migrations, the same SQL on both engines but
// for the column types each names differently.
#pragma once

#include <string>

// Why a record of schema version current cannot be used by this build.
std::string newer_schema(int current);
