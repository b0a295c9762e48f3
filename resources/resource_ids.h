// Identifiers of the resources QuorCache.dll carries, shared by the resource
// script and the code that loads them.
#pragma once

#define QC_IDR_APPID_SCRIPT 101  // "REGISTRY": the AppID entries
#define QC_IDR_CLASS_SCRIPT 102  // "REGISTRY": the COMCache class and its ProgIDs
