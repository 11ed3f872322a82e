#include "app/AppState.h"

namespace qv::app {

ContestKind KindOf(const AppState& state) { return ContestKindOf(state.Station.TypeLog, state.Station.TypeContest); }

bool IsIbmContest(const AppState& state) { return KindOf(state) == ContestKind::IBM; }

std::string WindowTitle(const AppState& state) {
  return std::string(kProgramName) + " - v" + state.ProgramVersion + " " + state.Station.MyCall + "  " +
         state.Program.LogName;
}

}  // namespace qv::app
