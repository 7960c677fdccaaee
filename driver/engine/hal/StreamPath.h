// The signal path of a stream engine: the controls its audio passes, found by walking the HAL's
// control graph upstream through the controls' sources. Used by the descriptor parsers after they
// create a stream.
#pragma once

#include "driver/engine/hal/AudioHal.h"

// The ring of ids a path walk queues.
constexpr ULONG StreamPathQueueIds = 20;
// Output connectors a render stream looks at.
constexpr ULONG StreamPathMaxConnectors = 20;

// Breadth first upstream from control StartId: every control met joins the stream's path (a mixer
// joins, its sources are not followed). An id already on the path is passed over, so the walk ends
// on any graph. STATUS_INSUFFICIENT_RESOURCES when the ring cannot take a control's sources; an id
// that names no control is the HAL's FindNode failure.
NTSTATUS AddUpstreamPath(AudioHal& Hal, StreamEngine& Stream, ULONG StartId);

// Capture: the path upstream of the terminal's control. Render: the paths upstream of every output
// connector (kind 1 with a terminal type) from which the terminal's control can be reached; there a
// mixer's sources are followed where they lead to the terminal's control, so the path reaches the
// streaming terminal through a mixer that also takes monitored inputs.
// STATUS_INVALID_PARAMETER when no connector reaches it or a search could not be completed.
NTSTATUS AttachStreamPath(AudioHal& Hal, StreamEngine& Stream, ULONG TerminalControlId);
