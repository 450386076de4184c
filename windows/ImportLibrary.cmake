# kest_import_library(<name> <def file>): an import library made with dlltool from a
# module-definition file, for a DLL that exists only on the handheld. <name> is a target that a
# DLL links to import the .def file's calls by name from the DLL its LIBRARY line names.
function(kest_import_library name def)
    set(library ${CMAKE_CURRENT_BINARY_DIR}/lib${name}.dll.a)
    add_custom_command(OUTPUT ${library}
        COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --output-lib ${library}
        DEPENDS ${def}
        COMMENT "Import library ${name} from ${def}"
        VERBATIM)
    add_custom_target(${name}_import_library DEPENDS ${library})
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${library})
    add_dependencies(${name} ${name}_import_library)
endfunction()
