// Our side through the engine cursor (TDataCursor), as the dataset components drive it.
#include "bench/bench_side.h"

namespace tabula::bench {

std::unique_ptr<TBenchSide> MakeTabulaSide(const TSideOptions&) { return nullptr; }

}  // namespace tabula::bench
