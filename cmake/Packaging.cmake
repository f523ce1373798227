# Debian packages (cpack -G DEB in any configured build tree; scripts/package.sh makes its own
# build with Debian's hardening flags):
#   corvena-index  the headless program, ktvschema, the Access reader helper, their man pages,
#                  the unit, /etc/corvena/ (Configure.ini and index.conf, conffiles)
#   corvena        the wizard, its desktop entry, AppStream description, icons and man page
#   varnel         the _2DB plug-in, for the song-request host to load
# Each carries usr/share/doc/<package>/ with copyright and changelog.gz (docs/).

# The Access reader helper: the programs look beside themselves, then in ../libexec/corvena/.
# It goes with corvena-index, which the wizard's package depends on, so both programs find it.
if(TARGET corvena-access-reader)
  install(TARGETS corvena-access-reader
          RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/corvena COMPONENT Index)
endif()

set(CORVENA_MAINTAINER "The Corvena developers <corvena@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME corvena)
set(CPACK_PACKAGE_VENDOR "The Corvena developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${CORVENA_MAINTAINER})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
# Only the three packages: nothing else installs, and a rule without a component would land in
# an "Unspecified" package.
set(CPACK_COMPONENTS_ALL Index Wizard Plugin)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# lintian refuses unstripped programs in a package.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CORVENA_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE corvena)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_INDEX_PACKAGE_NAME ${CORVENA_PACKAGE_INDEX})
set(CPACK_DEBIAN_INDEX_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_INDEX_DESCRIPTION
    "KTV song indexer without a display
corvena-index collects every file below a song folder, looks each file name
up in the master catalogue (SQLite, or an Access .mdb/.accdb file read only)
and writes the songs it finds into the local song database of a KTV
song-request system. It runs from a terminal, a script or a systemd service
(corvena-index@.service, set up in /etc/corvena/index.conf), with progress,
a summary, a JSON report and distinct exit statuses; its messages are in
English. ktvschema makes an empty song database. Without a database named in
a Configure.ini, each user gets an own one, made when first needed.")
# The administrator's files are his once installed: kept on upgrade, asked about when changed.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian-index/conffiles "/etc/corvena/Configure.ini\n/etc/corvena/index.conf\n")
set(CPACK_DEBIAN_INDEX_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian-index/conffiles)

set(CPACK_DEBIAN_WIZARD_PACKAGE_NAME ${CORVENA_PACKAGE_WIZARD})
set(CPACK_DEBIAN_WIZARD_PACKAGE_SECTION utils)
# Its texts are Chinese (English under an English locale): a font that has the glyphs, and Qt's
# own texts (buttons of the boxes, the file dialogs) in Chinese.
set(CPACK_DEBIAN_WIZARD_PACKAGE_DEPENDS
    "${CORVENA_PACKAGE_INDEX} (= ${PROJECT_VERSION}), fonts-wqy-microhei, qt6-translations-l10n")
set(CPACK_COMPONENT_WIZARD_DESCRIPTION
    "KTV song indexing wizard
corvena is a five-step wizard that loads a folder of song files into the
local song database of a KTV song-request system: each file name is looked
up in the master catalogue and the songs found are written, new languages
and song types added on the way. The song-request program may start it and
is told when indexing has ended.
.
Its texts are in Simplified Chinese, or in English under an English locale
(LANG=en_US.UTF-8, for example). Run from the menu by any user, it keeps that
user's choices and, unless a Configure.ini names one, an own local song
database.")

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME ${CORVENA_PACKAGE_PLUGIN})
set(CPACK_DEBIAN_PLUGIN_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION
    "KTV song database plug-in adding one song at a time
Varnel is a plug-in library that a KTV song-request program loads from
/usr/${CORVENA_PLUGIN_INSTALL_DIR}/libVarnel.so. Its one export, _2DB, adds or
updates one song through the program's own open SQLite connection, resolving
language and type identifiers and numbering songs that have no number.")

include(CPack)
