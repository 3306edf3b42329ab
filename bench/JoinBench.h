#pragma once

#include <string>
#include <utility>
#include <vector>

namespace bench {

// One figure of the join benchmark, as a row of the table.
struct Figure
{
    Figure(std::string name_, std::string value_, std::string goal_ = "", int met_ = -1)
        : name(std::move(name_)), value(std::move(value_)), goal(std::move(goal_)), met(met_)
    {
    }
    std::string name;
    std::string value;
    std::string goal;
    int met;  // -1: no goal
};

// Late viewers joining on the replay and on the screen after histories of 1, 10 and 100 MB
// of real terminal sessions (10 MB at most when quick): how long until the last byte of
// what they are sent first, how much it is, and what the screen model costs the playback.
// `sourceRoot` holds tests/recordings.
std::vector<Figure> MeasureJoins(const std::string& binary, const std::string& sourceRoot,
                                 bool quick);

}  // namespace bench
