#pragma once
// The event line: one JSON object per event on standard output, byte for
// byte, flushed before the work goes on.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

inline constexpr std::string_view kPreparationEventSchema = "pelto.geometry.prepare.event.v1";

// True for the eight stage names an event may carry.
bool IsPreparationStage(std::string_view stage);

// One line without its line ending. Throws "invalid_event" (stage "preflight")
// for an unknown event kind and "invalid_event_stage" (stage "import") for an
// unknown non-empty stage. The numbers appear only on "progress" events.
std::string FormatPreparationEvent(std::string_view requestId, std::string_view event,
                                   std::string_view stage, std::string_view code,
                                   std::string_view message, std::uint64_t completed,
                                   std::uint64_t total);

// Formats the event, writes it and "\n" to `out` and flushes `out`.
void WritePreparationEvent(std::FILE* out, std::string_view requestId, std::string_view event,
                           std::string_view stage, std::string_view code, std::string_view message,
                           std::uint64_t completed = 0, std::uint64_t total = 0);
