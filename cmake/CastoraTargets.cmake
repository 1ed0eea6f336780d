# Common settings for every target of the project.
function(castora_target_defaults target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wnon-virtual-dtor
                               -Woverloaded-virtual)
        if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
            target_compile_options(${target} PRIVATE -Wshadow=local)
        endif()
        if(CASTORA_WERROR)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    endif()
    target_compile_definitions(${target} PRIVATE QT_NO_URL_CAST_FROM_STRING
                               QT_NO_FOREACH)
endfunction()

# A static library for one feature folder; its metatypes feed the QML registration module.
function(castora_feature_library target)
    qt_add_library(${target} STATIC ${ARGN})
    castora_target_defaults(${target})
    target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    qt_extract_metatypes(${target})
endfunction()
