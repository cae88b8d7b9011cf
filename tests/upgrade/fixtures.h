// The release fixtures the whole-upgrade tests start from, and one full run
// of the start button on a database.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "tests/support/support.h"

namespace upgrade_check {

// data/fixtures/<name>
std::filesystem::path FixturePath(const std::string& name);

// The release fixtures: the five named ones (whether or not they exist yet),
// then any further release_*.sql in data/fixtures/, by name.
std::vector<std::string> ReleaseFixtures();

// A test name from a fixture file name ("release_2007_03.sql" -> "release_2007_03").
std::string FixtureTestName(const std::string& file);

// Runs the whole sequence as the start button does, with the backup
// confirmation ticked and the sample data files; the view keeps whatever the
// run leaves on it (cbBefore, ckbDel), as the window does between clicks.
// Returns the error that ended the run, naming the step it ended in (UTF-8);
// nullopt when the run ended normally.
std::optional<std::string> RunFullUpgrade(db::Connection& c, testing_support::RecordingView& view);

}  // namespace upgrade_check
