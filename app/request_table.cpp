#include "app/request_table.h"

#include "app/service.h"
#include "nm/nm.h"
#include "tools/tools.h"

namespace {

// Entry function of a NetworkManager request: the handler runs on the worker thread while the
// bus thread waits; its result goes back unchanged.
template <TrelRequestHandler Handler>
int onWorker(TrelRequest* request) {
    return nmadapter_invoke_nm_api(request, request->context, Handler);
}

// Ascending ids. Rows for handlers that run on the NetworkManager worker are written as
// {id, onWorker<handler>}; the others register their handler directly.
constexpr RequestRow kRequestTable[] = {
    {1, onWorker<nmadapter_GetNetworkInterfaces>},
    {2, onWorker<nmadapter_GetInterfaceDetails>},
    {3, onWorker<nmadapter_SetConnection>},
    {4, onWorker<nmadapter_GetConnection>},
    {5, onWorker<nmadapter_watchInterface>},
    {7, getInterfaceClasses},
    {8, onWorker<nmadapter_setEnable>},
    {9, onWorker<nmadapter_wifiRadioStatusSet>},
    {10, onWorker<nmadapter_getAccessPoints>},
    {11, onWorker<nmadapter_WifiStartScan>},
    {12, networktools_trelHandlePing},  // bus thread; each probe runs on a thread of its own
    {14, onWorker<nmadapter_ResetDefaults>},
    {15, onWorker<nmadapter_confirmCheckpoint>},
    {16, onWorker<nmadapter_rollbackCheckpoint>},
    {17, networktools_cancelPing},  // bus thread
};

}  // namespace

std::span<const RequestRow> requestTable() {
    return kRequestTable;
}

int registerHandlers(TrelClient* client, ServiceContext* context) {
    TrelInterface* iface = client->defaultInterface;
    iface->version = 1;
    int result = 0;
    for (const RequestRow& row : kRequestTable) {
        result = trelRegisterApi(iface, row.id, row.handler, context);
    }
    // A probe's result is its only answer: it waits out an outage of the bus.
    trelKeepWhileDisconnected(iface, NETWORKTOOLS_PING_RESULT_ID);
    return result;
}
