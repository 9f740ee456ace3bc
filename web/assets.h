// What the pages ship besides themselves: their one script and their style.
#pragma once

extern const char DASHBOARD_SCRIPT[];
extern const char DASHBOARD_STYLE[];
