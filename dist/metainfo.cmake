# Writes the AppStream metainfo from its template. Included by the build, or run on its own to
# check the screenshot block:
#   cmake -DOSTREL_METAINFO_IN=ostrel.metainfo.xml.in -DOSTREL_METAINFO_OUT=file -DOSTREL_APP_ID=id -DPROJECT_VERSION=v
#         -DOSTREL_RELEASE_DATE=d [-DOSTREL_SCREENSHOT_URL=url] -P metainfo.cmake
#
# AppStream wants each screenshot as a web address. The program has no web home yet, so the
# screenshots (dist/screenshots, taken by the end-to-end tray run) go into the metainfo only once
# a build names the address they are published under.
set(OSTREL_SCREENSHOTS
    "general|Copied links become request mails, and the General page says how sure Ostrel should be first"
    "hot-list|The hot list finds suggested pages by their description and requests them"
    "preferences|How files should come back, in how many pieces, and whether Ostrel starts at log-in"
    "about|The version, and where news and updates come from")
set(OSTREL_METAINFO_SCREENSHOTS "")
if(OSTREL_SCREENSHOT_URL)
    string(APPEND OSTREL_METAINFO_SCREENSHOTS "\n  <screenshots>")
    set(kind " type=\"default\"")
    foreach(shot ${OSTREL_SCREENSHOTS})
        string(REPLACE "|" ";" parts "${shot}")
        list(GET parts 0 name)
        list(GET parts 1 caption)
        string(APPEND OSTREL_METAINFO_SCREENSHOTS "\n    <screenshot${kind}>\n      <caption>${caption}</caption>"
               "\n      <image>${OSTREL_SCREENSHOT_URL}/${name}.png</image>\n    </screenshot>")
        set(kind "")
    endforeach()
    string(APPEND OSTREL_METAINFO_SCREENSHOTS "\n  </screenshots>")
endif()
configure_file(${OSTREL_METAINFO_IN} ${OSTREL_METAINFO_OUT} @ONLY)
