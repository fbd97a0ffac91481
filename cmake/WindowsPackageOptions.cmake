# SPDX-License-Identifier: MIT
# Read by cpack for each generator: the Windows packages hold the program's folder itself.
if(CPACK_GENERATOR MATCHES "NSIS|ZIP")
    set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
