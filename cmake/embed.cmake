# pellucor_embed(TARGET FILE SYMBOL): compiles FILE into TARGET byte for byte
# as `extern const std::string_view SYMBOL` in namespace pellucor::assets.
function(pellucor_embed target file symbol)
  set(_out ${CMAKE_CURRENT_BINARY_DIR}/embedded_${symbol}.cpp)
  add_custom_command(
    OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -DIN=${file} -DOUT=${_out} -DSYMBOL=${symbol}
            -P ${PROJECT_SOURCE_DIR}/cmake/embed_file.cmake
    DEPENDS ${file} ${PROJECT_SOURCE_DIR}/cmake/embed_file.cmake
    VERBATIM)
  target_sources(${target} PRIVATE ${_out})
endfunction()
