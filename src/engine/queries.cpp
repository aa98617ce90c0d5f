// The lookup step shared by the ten queries.
#include "engine/queries.hpp"

#include "runtime/fatal.hpp"

namespace quillometer::engine {

double query(const Frame& frame, std::string_view name, Statistic statistic) {
  const ColumnState* column = frame.find_column(name);
  if (column == nullptr) runtime::raise_fatal("Column does not exist");
  return statistic(*column);
}

}  // namespace quillometer::engine
