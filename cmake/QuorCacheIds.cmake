# The fixed identifiers of QuorCache, in one place. The interface definition,
# the registry scripts and the C++ headers are all configured from these.
set(QC_CLSID_COMCache            2BFD9CFD-BB8D-4043-9F67-D3E389FE25CE)
# widl orders the proxy file's interfaces by identifier, byte by byte as the
# GUID lies in memory, and the first one's is the proxy/stub class id, which
# is IID_ICOMCache and stays so: every other interface's identifier must
# order after it (its first byte in memory, the lowest of the first group,
# above 0xB8).
set(QC_IID_ICOMCache             38333DB8-4534-40DF-B44B-1E6DFAA3FC5D)
set(QC_IID_ICOMCache2            D307E6F7-4F7A-46DD-B544-2630781D0E3A)
set(QC_IID_ICacheStatistics      991E65BA-626F-4740-9754-7A146E367395)
set(QC_LIBID_QuorCacheLib        40EB1A19-6A8E-43B0-98BA-8B17AC2341FE)
set(QC_APPID_QuorCache           89155EAD-940F-4E56-AC4B-53AD622E2A4F)
set(QC_IID_IMemoryCacheClient    EA5EFAF0-2974-4C68-980E-E680C01987EC)
set(QC_IID_IMemoryCache          9C1A7824-7552-470A-BA6C-39163215CB32)
set(QC_IID_IMemoryCacheControl   46EAA26E-44CF-4FCA-A698-4F2514C07C35)
set(QC_IID_IMemoryCacheStats     C1BB1C45-774F-478C-AD7E-6C28E13DE463)

# "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" -> a C initializer {0x..., 0x..., 0x..., {0x.., ...}}
function(qc_guid_initializer out guid)
  string(SUBSTRING ${guid} 0 8 d1)
  string(SUBSTRING ${guid} 9 4 d2)
  string(SUBSTRING ${guid} 14 4 d3)
  string(SUBSTRING ${guid} 19 4 d4)
  string(SUBSTRING ${guid} 24 12 d5)
  set(bytes "${d4}${d5}")
  set(list "")
  foreach(i RANGE 0 14 2)
    string(SUBSTRING ${bytes} ${i} 2 b)
    list(APPEND list "0x${b}")
  endforeach()
  list(JOIN list ", " bytes_joined)
  set(${out} "{0x${d1}, 0x${d2}, 0x${d3}, {${bytes_joined}}}" PARENT_SCOPE)
endfunction()

foreach(name CLSID_COMCache IID_ICOMCache LIBID_QuorCacheLib APPID_QuorCache
             IID_IMemoryCacheClient IID_IMemoryCache IID_IMemoryCacheControl IID_IMemoryCacheStats)
  qc_guid_initializer(QC_${name}_INIT ${QC_${name}})
endforeach()

configure_file(${CMAKE_CURRENT_LIST_DIR}/quorcache_ids.h.in
               ${PROJECT_BINARY_DIR}/generated/quorcache_ids.h @ONLY)
