# GSSAPI (MIT krb5's libgssapi_krb5), through which the framework's NTLM
# client reaches the gss-ntlmssp mechanism on Linux. Defines the imported
# target rt::gssapi. Debian: libkrb5-dev to build, libgssapi-krb5-2 and
# gss-ntlmssp to run.
find_path(RtGSSAPI_INCLUDE_DIR gssapi/gssapi_ext.h)
find_library(RtGSSAPI_LIBRARY NAMES gssapi_krb5)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(RtGSSAPI REQUIRED_VARS RtGSSAPI_LIBRARY RtGSSAPI_INCLUDE_DIR)
mark_as_advanced(RtGSSAPI_INCLUDE_DIR RtGSSAPI_LIBRARY)
if(RtGSSAPI_FOUND AND NOT TARGET rt::gssapi)
  add_library(rt::gssapi UNKNOWN IMPORTED)
  set_target_properties(rt::gssapi PROPERTIES
    IMPORTED_LOCATION "${RtGSSAPI_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${RtGSSAPI_INCLUDE_DIR}")
endif()
