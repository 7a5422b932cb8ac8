add_library(morvix_client STATIC ${CMAKE_CURRENT_LIST_DIR}/client_format.cc
                                 ${CMAKE_CURRENT_LIST_DIR}/client_link.cc)
target_link_libraries(morvix_client PUBLIC morvix_decoder)

add_executable(morvix-client ${CMAKE_CURRENT_LIST_DIR}/morvix_client.cc)
target_link_libraries(morvix-client PRIVATE morvix_client)

install(TARGETS morvix-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
