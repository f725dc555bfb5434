#include "app/request_table.h"

#include "app/service.h"
#include "nm/nm.h"
#include "tools/tools.h"

namespace {

// Entry function of a NetworkManager request: the handler runs on the worker thread, which
// sends its reply; the bus thread goes on at once.
template <NmApiFunction Handler>
int onWorker(TrelRequest* request) {
    return nmadapter_invoke_nm_api(request, request->context, Handler);
}

// Ascending ids. Rows for handlers that run on the NetworkManager worker are written as
// {id, onWorker<handler>}; the others register their handler directly. Rows marked true only
// read: members of the control socket's group may send them (secrets stay for root).
constexpr RequestRow kRequestTable[] = {
    {LK_API_LIST_INTERFACES, onWorker<nmadapter_GetNetworkInterfaces>, true},
    {LK_API_INTERFACE_DETAILS, onWorker<nmadapter_GetInterfaceDetails>, true},
    {LK_API_SET_CONNECTION, onWorker<nmadapter_SetConnection>},
    {LK_API_GET_CONNECTION, onWorker<nmadapter_GetConnection>, true},  // keys only for root
    {LK_API_WATCH, onWorker<nmadapter_watchInterface>, true},
    {LK_API_INTERFACE_CLASSES, getInterfaceClasses, true},
    {LK_API_ENABLE, onWorker<nmadapter_setEnable>},
    {LK_API_RADIO, onWorker<nmadapter_wifiRadioStatusSet>},
    {LK_API_ACCESS_POINTS, onWorker<nmadapter_getAccessPoints>, true},
    {LK_API_SCAN, onWorker<nmadapter_WifiStartScan>},
    {LK_API_PING, networktools_trelHandlePing,
     true},  // bus thread; each probe runs on a thread of its own
    {LK_API_RESET, onWorker<nmadapter_ResetDefaults>},
    {LK_API_CONFIRM_CHECKPOINT, onWorker<nmadapter_confirmCheckpoint>},
    {LK_API_ROLLBACK_CHECKPOINT, onWorker<nmadapter_rollbackCheckpoint>},
    {LK_API_CANCEL_PING, networktools_cancelPing, true},  // bus thread
    {LK_API_PENDING_CHECKPOINTS, onWorker<nmadapter_listCheckpoints>, true},
};

}  // namespace

std::span<const RequestRow> requestTable() {
    return kRequestTable;
}

int registerHandlers(TrelClient* client, ServiceContext* context) {
    TrelInterface* iface = trelDefaultInterface(client);
    iface->version = 1;
    int result = 0;
    for (const RequestRow& row : kRequestTable) {
        result = trelRegisterApi(iface, row.id, row.handler, context);
        if (row.open) trelMarkOpen(iface, row.id);
    }
    // A probe's result is its only answer: it waits out an outage of the bus.
    trelKeepWhileDisconnected(iface, LK_MSG_PING_RESULT);
    return result;
}
