# Tests of the TCP gateway link.
tolvar_test(tst_vexa_sockets SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_vexa_sockets.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/FakeGatewaySocket.h LIBS gateway LABELS unit)
tolvar_test(tst_vexa_rs_sockets SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_vexa_rs_sockets.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/FakeGatewaySocket.h LIBS gateway LABELS unit)
tolvar_test(tst_gateway_downlink SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_gateway_downlink.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/FakeGatewaySocket.h LIBS gateway LABELS unit)
