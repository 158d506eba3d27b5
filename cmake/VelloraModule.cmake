# One static library per source folder, made of every .cpp and .h in it,
# linked to the libraries below it (DEPENDS).
function(vellora_module name)
    cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    add_library(vellora_${name} STATIC ${sources})
    target_include_directories(vellora_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(vellora_${name} PUBLIC Qt6::Core Qt6::Gui vellora_warnings ${ARG_DEPENDS})
endfunction()
