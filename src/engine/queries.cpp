// The failure shared by the ten queries.
#include "engine/queries.hpp"

#include "runtime/fatal.hpp"

namespace quillometer::engine {

void missing_queried_column() {
  runtime::raise_fatal("Column does not exist");
}

}  // namespace quillometer::engine
