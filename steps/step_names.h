// What each upgrade step is called where a person reads it: when its release
// came and what it does ("2007年3月：13位书号，出版社表重建"), with the method's
// name ("Do200703") only in brackets after it. The window, the native window
// and libupgrade-cli name steps through this one table; the statement log and
// the --report file keep the method names, which scripts match on.
#pragma once

#include <string>
#include <string_view>

namespace steps {

struct StepName {
  const char* code;   // the method of Upgrader ("Do2007_12_27")
  const char* title;  // UTF-8: "2007年12月27日：MARC编目"
};

// Every step, in the order of the run sequence.
extern const StepName kStepNames[19];

// The title of the step whose method is code, UTF-8; code itself for a name
// that is no step (the run outside its steps, "run", and the like).
std::string StepTitle(std::string_view code);
// The title with the method's name in brackets: "2007年12月27日：MARC编目（Do2007_12_27）";
// code itself for a name that is no step.
std::string StepLabel(std::string_view code);

}  // namespace steps
