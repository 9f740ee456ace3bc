// The dashboard's connections to the record, read-only, kept between
// requests and shared by the server's threads: one request, one connection.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "unit_store.h"

class store_pool {
 public:
  explicit store_pool(std::string db) : db_(std::move(db)) {}
  // A connection of its own for the caller, or nullptr and why.
  std::unique_ptr<unit_store> take(std::string *why);
  // Given back after use; one whose connection is lost is dropped.
  void give(std::unique_ptr<unit_store> s);
  [[nodiscard]] int schema() const { return schema_; }
  // Opens the first connection: why the record cannot be read, or "".
  std::string open();

 private:
  std::string db_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<unit_store>> idle_;
  int schema_ = 0;
};
