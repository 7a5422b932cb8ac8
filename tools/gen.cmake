add_library(morvix_gen STATIC ${CMAKE_CURRENT_LIST_DIR}/signal_gen.cc)
target_link_libraries(morvix_gen PUBLIC morvix_decoder)

add_executable(morvix-gen ${CMAKE_CURRENT_LIST_DIR}/morvix_gen.cc)
target_link_libraries(morvix-gen PRIVATE morvix_gen)
install(TARGETS morvix-gen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
