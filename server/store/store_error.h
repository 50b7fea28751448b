// The two ways a store call fails: the store cannot be used, or cannot be reached just now.
#pragma once

#include <stdexcept>

namespace velmoth::server {

// A store that fails or must not be used (an SQLite or PostgreSQL error, a database of another
// program or of a newer schema). The message names the database and the cause.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The store cannot be reached just now (its server is down or the connection was lost). The
// request fails without changing anything; the store logs the outage once and reconnects by
// itself.
class StoreUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace velmoth::server
