// The lookup step shared by the ten queries.
#include "engine/queries.hpp"

#include "runtime/fatal.hpp"

namespace quillometer::engine {

void missing_queried_column() {
  runtime::raise_fatal("Column does not exist");
}

double query(const Frame& frame, std::string_view name, Statistic statistic) {
  const ColumnState* column = frame.find_column(name);
  if (column == nullptr) missing_queried_column();
  return statistic(*column);
}

}  // namespace quillometer::engine
