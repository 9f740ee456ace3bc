#include "web_store.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Connections kept idle: more are opened while more requests run at once.
constexpr size_t IDLE_KEPT = 4;

}  // namespace

std::string store_pool::open() {
  // Read-only: the page never creates a record where there is none.
  if (!is_postgres_url(db_) && access(db_.c_str(), F_OK) != 0) {
    return "--db " + db_ + ": " + strerror(errno);
  }
  std::string why;
  std::unique_ptr<unit_store> s = unit_store::open_for_reading(db_, &why, &schema_);
  if (s == nullptr) return "--db " + (is_postgres_url(db_) ? std::string("URL") : db_) + ": " + why;
  give(std::move(s));
  return "";
}

std::unique_ptr<unit_store> store_pool::take(std::string *why) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<unit_store> s = std::move(idle_.back());
      idle_.pop_back();
      return s;
    }
  }
  int found = 0;
  std::unique_ptr<unit_store> s = unit_store::open_for_reading(db_, why, &found);
  if (s != nullptr && found != schema_) {
    // The record was upgraded under the page: its queries were chosen for the old one.
    *why = "the unit record's schema changed from version " + std::to_string(schema_) + " to " +
           std::to_string(found) + ": start kesp-units serve again";
    return nullptr;
  }
  return s;
}

void store_pool::give(std::unique_ptr<unit_store> s) {
  if (s == nullptr || s->lost()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (idle_.size() < IDLE_KEPT) idle_.push_back(std::move(s));
}
