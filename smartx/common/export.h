// Marks the module's exported factories (everything else stays hidden).
#ifndef SMARTX_COMMON_EXPORT_H
#define SMARTX_COMMON_EXPORT_H

#define SMARTX_EXPORT extern "C" __attribute__((visibility("default")))

#endif
