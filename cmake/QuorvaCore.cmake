# The portable core: every decision of the agent, one static library per
# floor of the house (cmake/include_rules.txt says which floor may include
# which; the include_layers test holds the sources to it). Each floor links
# only the floors below it. None of them sees <windows.h>: the poison folder
# comes first on their include path, so that an include fails the build, on
# Linux and in the cross builds alike.
#
# QUORVA_ROOT: the source root. QUORVA_CORE_OPTIONS: extra compile options
# (the fuzz build's sanitizers). Defines quorva_core, the whole core.
function(quorva_floor name folder)
    file(GLOB sources CONFIGURE_DEPENDS ${QUORVA_ROOT}/${folder}/*.cpp)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} BEFORE PRIVATE ${QUORVA_ROOT}/cmake/poison)
    target_include_directories(${name} PUBLIC ${QUORVA_ROOT})
    if(NOT MSVC)
        target_compile_options(${name} PRIVATE -Wall -Wextra ${QUORVA_CORE_OPTIONS})
    endif()
    target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()

quorva_floor(quorva_agent agent)
quorva_floor(quorva_records records quorva_agent)
quorva_floor(quorva_system system quorva_records quorva_agent)
quorva_floor(quorva_scripts scripts quorva_records quorva_agent)
quorva_floor(quorva_sessionend sessionend quorva_scripts quorva_system quorva_records quorva_agent)
quorva_floor(quorva_window window quorva_sessionend quorva_scripts quorva_system quorva_records quorva_agent)

add_library(quorva_core INTERFACE)
target_link_libraries(quorva_core INTERFACE quorva_window)
