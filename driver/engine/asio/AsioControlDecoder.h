// The decoder of device-control requests on the private ASIO interface: it checks each code's
// buffer lengths, calls the AsioPrivateInterface operation of the code and says how many bytes
// of the system buffer go back to the caller.
#pragma once

#include "driver/engine/asio/AsioPrivateInterface.h"

#include <win/kernel.h>

// "adap": the temporary address table of a 32-bit caller's CREATE_BUFFERS (paged).
constexpr ULONG AsioDecoderTableTag = 'pada';

// Decodes Irp (METHOD_BUFFERED, at PASSIVE_LEVEL in the caller's process) and calls Asio.
// Sets Irp->IoStatus.Information (0 unless the code returns data) and answers the status; the
// caller stores and completes unless the answer is STATUS_PENDING (a STOP held by the service).
// A length the code does not accept: STATUS_INVALID_PARAMETER; an unknown code:
// STATUS_NOT_SUPPORTED.
NTSTATUS DispatchAsioControl(AsioPrivateInterface* Asio, PIRP Irp);
