// What the port-class front creates or calls in the parts of the driver built on their own: the
// adapter, the topology and wave-cyclic miniports, and the decoder of requests on the private ASIO
// interface. They are reached through one table, so the front runs against stand-ins in tests.
// Where the driver does not contain the callee yet, its entry answers STATUS_NOT_IMPLEMENTED, and
// a start or request that needs it ends with that status.
#pragma once

#include "driver/engine/interfaces/AdapterCommon.h"
#include "driver/engine/asio/AsioPrivateInterface.h"
#include "driver/engine/stream/StreamEngine.h"

#include <win/kernel.h>
#include <win/portcls.h>

// Creates a miniport object and hands out its inner unknown with one reference.
typedef NTSTATUS (*MiniportCreator)(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType);

struct FrontCallees {
    NTSTATUS (*CreateAdapter)(PADAPTERCOMMON* Adapter);
    MiniportCreator CreateTopologyMiniport;
    EngineMiniportCreator CreateWaveCyclicMiniport;
    // Decodes one device-control request on the private ASIO interface and calls the operation of
    // its code. Information is 0 on entry; the answer is the request's status (STATUS_PENDING
    // leaves the request with the callee, which completes it).
    NTSTATUS (*DispatchAsioControl)(AsioPrivateInterface* Asio, PIRP Irp);
};

// The table the front uses. Exchange answers the table in force before; null restores the
// driver's own. Only while no request is in the front.
const FrontCallees* CurrentFrontCallees();
const FrontCallees* ExchangeFrontCallees(const FrontCallees* Table);
