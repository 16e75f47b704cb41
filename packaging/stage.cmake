# Puts the files of the packages into one folder, laid out as they are installed. Texts get
# CR LF line ends, for Notepad. Run with -P and
#   -DSTAGE=<folder> -DFILES=<binaries> -DLIBRARY=<library files> -DTEXTS=<src=name;...>
file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}/oxasoft")
file(COPY ${FILES} DESTINATION "${STAGE}")
file(COPY ${LIBRARY} DESTINATION "${STAGE}/oxasoft")
foreach(pair IN LISTS TEXTS)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    file(READ "${from}" text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${STAGE}/${to}" "${text}")
endforeach()
