#pragma once
// The platform's interface classes, read once from the boot lists.

int yebExternalIfaceCnt();
int yebIntegrationIfaceCnt();
int yebInternalIfaceCnt();
// Entry at index, or null when out of range.
const char* yebExternalIface(int index);
const char* yebIntegrationIface(int index);
const char* yebInternalIface(int index);
// 1 when name is an entry of the class, else 0.
int yebIsExternalIface(const char* name);
int yebIsIntegrationIface(const char* name);
int yebIsInternalIface(const char* name);
