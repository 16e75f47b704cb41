# Puts the files of the packages into one folder, laid out as they are installed. Texts get
# CR LF line ends, for Notepad. Run with -P and
#   -DSTAGE=<folder> -DFILES=<binaries> -DFILES_X64=<64-bit program files, into x64/>
#   -DLIBRARY_X86=<32-bit library files> -DLIBRARY_X64=<64-bit library files>
#   -DTEXTS=<src=name;...>
file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}/oxasoft")
file(COPY ${FILES} DESTINATION "${STAGE}")
file(COPY ${FILES_X64} DESTINATION "${STAGE}/x64")
# One folder per bitness of the calling process; the header serves both.
file(COPY ${LIBRARY_X86} DESTINATION "${STAGE}/oxasoft/x86")
file(COPY ${LIBRARY_X64} DESTINATION "${STAGE}/oxasoft/x64")
foreach(pair IN LISTS TEXTS)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    file(READ "${from}" text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${STAGE}/${to}" "${text}")
endforeach()
