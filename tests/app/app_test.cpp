#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "app/request_table.h"
#include "app/service.h"
#include "platform/properties.h"

namespace {

TEST(RequestTable, IdsAscendAreUniqueAndLeaveTheMessageIdsFree) {
    int previous = -1;
    for (const RequestRow& row : requestTable()) {
        EXPECT_GT(row.id, previous);
        EXPECT_NE(row.handler, nullptr) << int(row.id);
        previous = row.id;
    }
    std::set<int> ids;
    for (const RequestRow& row : requestTable()) ids.insert(row.id);
    EXPECT_TRUE(ids.count(7));
    for (int messageId : {0, 6, 13, 15}) EXPECT_FALSE(ids.count(messageId)) << messageId;
}

TEST(RequestTable, RegistersEveryRowWithTheContextOnVersionOne) {
    Properties* props = propCreate();
    ServiceContext context{};
    context.client = trelCreate("yeb.linkKeeper", 1, nullptr, props, 0, 0);
    ASSERT_NE(context.client, nullptr);
    EXPECT_EQ(registerHandlers(&context), 0);
    TrelInterface* iface = context.client->defaultInterface;
    EXPECT_EQ(iface->version, 1u);
    for (const RequestRow& row : requestTable()) {
        EXPECT_EQ(iface->handlers[row.id].handler, row.handler) << int(row.id);
        EXPECT_EQ(iface->handlers[row.id].context, &context) << int(row.id);
    }
    EXPECT_EQ(iface->handlers[7].handler, getInterfaceClasses);
    trelFree(context.client);
    propFree(props);
}

std::string interfaceClassesReply() {
    unsigned char reply[8192];
    TrelRequest request{};
    request.payload = reinterpret_cast<unsigned char*>(const_cast<char*>("ignored"));
    request.length = 7;
    encoderWrap(&request.encoder, reply, sizeof reply);
    int size = getInterfaceClasses(&request);
    EXPECT_GT(size, 0);
    EXPECT_EQ(reply[size - 1], '\0');  // the NUL is part of the reply
    return std::string(reinterpret_cast<char*>(reply),
                       static_cast<size_t>(size > 0 ? size - 1 : 0));
}

void writeFile(const char* path, const char* text) {
    FILE* file = std::fopen(path, "w");
    ASSERT_NE(file, nullptr) << path;
    std::fputs(text, file);
    std::fclose(file);
}

// The class lists are read once per process, so one test sees one set of boot files.
TEST(InterfaceClasses, ListsEachClassInFileOrderAndIgnoresThePayload) {
    if (std::getenv("LK_SANDBOX_FS") == nullptr) GTEST_SKIP() << "needs the file-system sandbox";
    writeFile("/run/yeb/boot/netif_internal", "br0\n");
    writeFile("/usr/share/yeb/boot/netif_external", "eth1\neth0\n");
    EXPECT_EQ(interfaceClassesReply(),
              R"({"internal":["br0"],"external":["eth1","eth0"],"integration":[]})");
}

}  // namespace
