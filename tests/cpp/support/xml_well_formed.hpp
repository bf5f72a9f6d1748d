#pragma once
// Checks a generated part with a strict XML parser (Python's), so tests catch output that a
// reader would refuse. Header-only.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <unistd.h>

namespace velmo::test {

inline ::testing::AssertionResult parses_as_xml(std::string_view text) {
    char path[] = "/tmp/velmo_xml_XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return ::testing::AssertionFailure() << "cannot create a temporary file";
    std::size_t done = 0;
    while (done < text.size()) {
        const auto n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    const std::string cmd = std::string("python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' ") +
                            path + " 2>/dev/null";
    const int rc = std::system(cmd.c_str());
    ::unlink(path);
    if (done != text.size()) return ::testing::AssertionFailure() << "cannot write the temporary file";
    if (rc != 0) return ::testing::AssertionFailure() << "not well-formed XML:\n" << text;
    return ::testing::AssertionSuccess();
}

}  // namespace velmo::test
