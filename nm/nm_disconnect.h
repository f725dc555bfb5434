#pragma once
// The reaction to a lost bus connection on the NetworkManager side: every interface watch ends.

// Disconnects and empties every watch slot of the ServiceContext given as context; runs on the
// worker thread; always 0.
int nmadapter_onDisconnect(void* context);
