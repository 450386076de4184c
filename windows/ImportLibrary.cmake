# kest_import_library(<name> <def file> <object library>): an import library made with dlltool
# from a module-definition file, for a DLL that exists only on the handheld. <name> is a target
# that a DLL links to import the .def file's calls by name from the DLL its LIBRARY line names;
# the object library's objects are the callers, from which the 32-bit x86 build reads the
# decorated names (kest_module_definition, windows/CMakeLists.txt).
function(kest_import_library name def objects)
    kest_module_definition(decorated_def ${def} ${objects})
    set(library ${CMAKE_CURRENT_BINARY_DIR}/lib${name}.dll.a)
    set(kill_at)
    if(kest_decorated_names)
        set(kill_at --kill-at)
    endif()
    add_custom_command(OUTPUT ${library}
        COMMAND ${CMAKE_DLLTOOL} --input-def ${decorated_def} --output-lib ${library} ${kill_at}
        DEPENDS ${decorated_def}
        COMMENT "Import library ${name} from ${def}"
        VERBATIM)
    add_custom_target(${name}_import_library DEPENDS ${library})
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${library})
    add_dependencies(${name} ${name}_import_library)
endfunction()
