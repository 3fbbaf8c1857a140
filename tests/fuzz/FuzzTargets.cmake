# The fuzz targets: each one's source and the program's libraries it tests.
# Read by both the fuzz build and the normal build's tests (CMakeLists.txt).
vexmor_fuzz_target(replies SOURCES RepliesFuzz.cpp LIBRARIES sock mail tcpip)
vexmor_fuzz_target(encoders SOURCES EncodersFuzz.cpp ../support/MimeDecoders.cpp LIBRARIES mail)
vexmor_fuzz_target(ftp_reply SOURCES FtpReplyFuzz.cpp LIBRARIES tcpip)
vexmor_fuzz_target(rtf_writer SOURCES RtfWriterFuzz.cpp ../support/RtfReader.cpp LIBRARIES framework_widgets)
vexmor_fuzz_target(host_entry SOURCES HostEntryFuzz.cpp LIBRARIES platform platform_linux)
vexmor_fuzz_target(settings SOURCES SettingsFuzz.cpp LIBRARIES settings)
vexmor_fuzz_target(mime_writer SOURCES MimeWriterFuzz.cpp ../support/MimeDecoders.cpp LIBRARIES mail)
vexmor_fuzz_target(header_text SOURCES HeaderTextFuzz.cpp LIBRARIES mail)
