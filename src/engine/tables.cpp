// The default device configuration `cfg` and the eleven-row behaviour table
// `devBehavior`. The detector reads both; the engine only hands them over.
#include "tables.hpp"

#include "../py/call.hpp"

#include <string>

namespace engine {

namespace {

void set(PyObject* dict, const char* key, py::Ref value)
{
    py::require(PyDict_SetItemString(dict, key, value.get()));
}

struct BehaviourRow {
    long number;
    double threshold;
    long alarm_num;
    long alarm_time;
};

// Every row alarms at once on a score of 0.5, except a more sensitive 5000002 and a
// 5000010 that needs two hits.
constexpr BehaviourRow behaviour_rows[] = {
    {5000001, 0.5, 0, 0}, {5000002, 0.3, 0, 0}, {5000003, 0.5, 0, 0}, {5000004, 0.5, 0, 0},
    {5000005, 0.5, 0, 0}, {5000006, 0.5, 0, 0}, {5000007, 0.5, 0, 0}, {5000008, 0.5, 0, 0},
    {5000009, 0.5, 0, 0}, {5000010, 0.5, 2, 0}, {5000011, 0.5, 0, 0},
};

} // namespace

py::Ref make_device_config()
{
    py::Ref config = py::own(PyDict_New());
    set(config.get(), "devId", py::text("000001"));
    set(config.get(), "devName", py::text("zo\xe6\xb5\x8b\xe8\xaf\x95\xe6\x91\x84\xe5\x83\x8f\xe5\xa4\xb4"));
    for (const char* filter : {"filterTypeisNight", "isBlur", "isDuplicate", "isIncrease", "isIntegrate"})
        set(config.get(), filter, py::integer(0));
    set(config.get(), "moveThreshold", py::none());
    return config;
}

py::Ref make_behaviour_table()
{
    py::Ref table = py::own(PyDict_New());
    for (const BehaviourRow& row : behaviour_rows) {
        py::Ref entry = py::own(PyDict_New());
        set(entry.get(), "behavior_number", py::integer(row.number));
        set(entry.get(), "behavior_threshold", py::floating(row.threshold));
        set(entry.get(), "alarm_num", py::integer(row.alarm_num));
        set(entry.get(), "alarm_time", py::integer(row.alarm_time));
        set(table.get(), std::to_string(row.number).c_str(), std::move(entry));
    }
    return table;
}

} // namespace engine
