# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package (cpack -G DEB in a Release build folder; scripts/package does it). The shared
# libraries the programs link decide most dependencies (dpkg-shlibdeps); the rest are what the
# programs load at run time: the voices' data and a font for the Chinese captions.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallamo)
set(CPACK_PACKAGE_VENDOR "Brindle Studio")
set(CPACK_PACKAGE_CONTACT "Brindle Studio <tallamo@brindle.cn>")
set(CPACK_PACKAGE_HOMEPAGE_URL ${TALLAMO_HOMEPAGE})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "notepad that reads aloud")
set(CPACK_PACKAGE_DESCRIPTION
  "Tallamo is a notepad that reads aloud: type a text or open a text file or a
document (EPUB, HTML, DOCX, ODT, FB2, PDF), pick a voice and a rate, and hear
it spoken while the spoken word is selected and a cartoon mouth follows the
speech. It pauses, resumes, stops and skips sentences, saves the speech as WAV
files and plays WAV files. The package also holds tallamo-say, which speaks or
renders text and documents from the command line, into WAV, FLAC, Ogg Vorbis,
Opus or MP3 files with subtitles of their words' and sentences' times, or a
file per chapter of a book. sd_tallamo, a speech-dispatcher output module, lends
its voices to the whole desktop: screen readers and every program that speaks
through speech-dispatcher.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "espeak-ng-data, fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "speech-dispatcher")
# The speech-dispatcher module's settings in /etc are the administrator's: dpkg keeps their changes.
if(NOT TALLAMO_SPEECHD_CONF_DIR)
  file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "/etc/speech-dispatcher/modules/tallamo.conf\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
endif()
include(CPack)
