# Helpers shared by every folder: one library per folder, one test per file.

# zov_library(name [SHARED] SOURCES ... LIBS ...)
# The host layer (data, contracts, host) is shared, as the suite's host packages
# are: the host application and the screen module loaded into it then see one
# login context, one presenter and one protocol registry.
function(zov_library name)
    cmake_parse_arguments(ARG "SHARED" "" "SOURCES;LIBS" ${ARGN})
    if(ARG_SHARED)
        add_library(${name} SHARED ${ARG_SOURCES})
        set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
    else()
        add_library(${name} STATIC ${ARG_SOURCES})
    endif()
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_compile_options(${name} PRIVATE ${ZOV_WARNING_FLAGS})
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# zov_app(name [FAST_ALLOCATOR] SOURCES ... LIBS ...)
# FAST_ALLOCATOR links mimalloc first, so that it serves every allocation of the
# process (Qt, gRPC, protobuf and SQLite included); see apps/allocator.h.
function(zov_app name)
    cmake_parse_arguments(ARG "FAST_ALLOCATOR" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE ${ZOV_WARNING_FLAGS})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/apps)
    if(ARG_FAST_ALLOCATOR AND mimalloc_FOUND)
        target_link_libraries(${name} PRIVATE mimalloc)
        target_compile_definitions(${name} PRIVATE ZOV_MIMALLOC)
    endif()
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endfunction()

# zov_test(name [BOTH_DATABASES] SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
# BOTH_DATABASES registers the test a second time as name_pg, run on PostgreSQL
# (ZOV_TEST_DB=postgresql); without a cluster it exits 77 and counts as skipped.
function(zov_test name)
    cmake_parse_arguments(ARG "BOTH_DATABASES" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE ${ZOV_WARNING_FLAGS})
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${name} COMMAND ${name})
    set(env "QT_QPA_PLATFORM=offscreen" "ZOV_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
            "ZOV_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}")
    if(ARG_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
        if(ARG_TIMEOUT)
        set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    endif()
    if(ARG_BOTH_DATABASES)
        add_test(NAME ${name}_pg COMMAND ${name})
        set_tests_properties(${name}_pg PROPERTIES ENVIRONMENT "${env};ZOV_TEST_DB=postgresql"
                             SKIP_RETURN_CODE 77 LABELS "postgresql;${ARG_LABELS}")
        if(ARG_TIMEOUT)
            set_tests_properties(${name}_pg PROPERTIES TIMEOUT ${ARG_TIMEOUT})
        endif()
    endif()
endfunction()

# An object library of the C++ and gRPC code protoc generates from one .proto file, in
# the folder's generated/ (not our code: compiled without the project's warning flags).
function(zov_grpc_proto name proto comment)
    get_filename_component(stem ${proto} NAME_WE)
    get_filename_component(dir ${proto} DIRECTORY)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/generated)
    file(MAKE_DIRECTORY ${out})
    set(sources ${out}/${stem}.pb.cc ${out}/${stem}.pb.h
                ${out}/${stem}.grpc.pb.cc ${out}/${stem}.grpc.pb.h)
    add_custom_command(
        OUTPUT ${sources}
        COMMAND ${ZOV_PROTOC} --proto_path=${dir} --cpp_out=${out} --grpc_out=${out}
                --plugin=protoc-gen-grpc=${ZOV_GRPC_CPP_PLUGIN} ${proto}
        DEPENDS ${proto}
        COMMENT "${comment}")
    add_library(${name} OBJECT ${sources})
    set_target_properties(${name} PROPERTIES AUTOMOC OFF POSITION_INDEPENDENT_CODE ON)
    target_include_directories(${name} SYSTEM PUBLIC ${out})
    target_link_libraries(${name} PUBLIC PkgConfig::GRPCPP PkgConfig::PROTOBUF)
endfunction()
