#pragma once
// The event log's day files, one implementation per system; event_log.cpp keeps the queue and
// the writer thread.
#include <string>
#include <string_view>

namespace mardo {

// Appends `lines` to events-<day>.log in the event log's folder, which is made when it is
// missing. The folder is looked up at every call, so that a changed environment takes effect.
// False when the lines were not all written.
bool append_to_day_file(const std::string& day, std::string_view lines);

}  // namespace mardo
