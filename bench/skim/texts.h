// What the simulated stations send.
#ifndef TOLVANE_BENCH_SKIM_TEXTS_H
#define TOLVANE_BENCH_SKIM_TEXTS_H

#include <string>

#include "band.h"

namespace skimbench {

// The station's next over: a CQ call with its own call (its call sent at
// least twice, or a contest "TU CALL TEST"), now and then a contest
// report to someone else; or, for a station in a QSO, an exchange that
// names other calls but calls no CQ.
std::string OverText(const BandStation& station, sim::Random& random);

}  // namespace skimbench

#endif  // TOLVANE_BENCH_SKIM_TEXTS_H
