// Requests whose framing a proxy or cache in front of the server could read
// differently from us, and the lenient forms that cannot change framing.
// The channel and loopback suites run the same table.
#pragma once

#include <string>
#include <vector>

namespace rttest {

struct HttpFramingCase {
    const char* what;
    std::string request;
    // The URIs the application is handed, in order; none: the request is
    // refused and the connection ends without an answer.
    std::vector<std::string> delivered;
    // The connection ends after the answers.
    bool closes = false;
};

inline const std::vector<HttpFramingCase>& HttpFramingCases() {
    using namespace std::string_literals;
    static const std::vector<HttpFramingCase> s_cases = {
        // Refused.
        {"blank before the colon", "POST /r HTTP/1.1\r\nContent-Length : 4\r\n\r\nabcd", {}},
        {"NUL in a name", "GET /r HTTP/1.1\r\nX-A\0b: 1\r\n\r\n"s, {}},
        {"bare CR in a name", "GET /r HTTP/1.1\r\nX-A\rb: 1\r\n\r\n", {}},
        {"control character in a name", "GET /r HTTP/1.1\r\nX-\x01: 1\r\n\r\n", {}},
        {"bare CR in a value", "GET /r HTTP/1.1\r\nX-A: a\rContent-Length: 4\r\n\r\nabcd", {}},
        {"folded line (space)", "GET /r HTTP/1.1\r\nHost: x\r\n Content-Length: 4\r\n\r\nabcd", {}},
        {"folded line (tab)", "GET /r HTTP/1.1\r\nHost: x\r\n\tContent-Length: 4\r\n\r\nabcd", {}},
        {"lengths that differ", "POST /r HTTP/1.1\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\nabcde", {}},
        {"length emptied by a second line", "POST /r HTTP/1.1\r\nContent-Length: 4\r\nContent-Length:\r\n\r\nabcd", {}},
        {"length without a colon", "POST /r HTTP/1.1\r\nContent-Length 4\r\n\r\nabcd", {}},
        {"coding chunkedchunked",
         "POST /r HTTP/1.1\r\nTransfer-Encoding: chunkedchunked\r\n\r\n4\r\nWiki\r\n0\r\n\r\n",
         {}},
        {"coding chunked, deflate", "POST /r HTTP/1.1\r\nTransfer-Encoding: chunked, deflate\r\n\r\n0\r\n\r\n", {}},
        {"coding gzip, chunked", "POST /r HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", {}},
        {"coding pigeons", "POST /r HTTP/1.1\r\nTransfer-Encoding: pigeons\r\n\r\nGET /x HTTP/1.1\r\n\r\n", {}},
        {"chunked twice",
         "POST /r HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         {}},
        {"chunk size ending in a bare CR",
         "POST /r HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4\rWiki\r\n0\r\n\r\n",
         {}},
        {"chunk size ending in a bare LF",
         "POST /r HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4\nWiki\r\n0\r\n\r\n",
         {}},
        {"last chunk ending in a bare LF", "POST /r HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\n\r\n", {}},
        {"trailer ending in a bare LF", "POST /r HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX: 1\n\r\n", {}},
        {"text after a chunk size",
         "POST /r HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4 x\r\nWiki\r\n0\r\n\r\n",
         {}},
        {"empty chunk-size line", "POST /r HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n\r\n\r\n", {}},
        // Answered.
        {"colon-less line with a space", "GET /k HTTP/1.1\r\nX-Lenient value\r\n\r\n", {"/k"}},
        {"line that begins with a colon", "GET /k HTTP/1.1\r\n: ignored\r\n\r\n", {"/k"}},
        {"value of spaces", "GET /k HTTP/1.1\r\nX-Spaces:    \r\n\r\n", {"/k"}},
        {"lower-case version", "GET /k http/1.0\r\n\r\n", {"/k"}, true},
        {"equal lengths",
         "POST /k HTTP/1.1\r\nContent-Length: 4\r\nContent-Length:  4\r\n\r\nabcdGET /n HTTP/1.1\r\n\r\n",
         {"/k", "/n"}},
        {"chunked in any case",
         "POST /k HTTP/1.1\r\nTransfer-Encoding:  Chunked \r\n\r\n4\r\nWiki\r\n0\r\n\r\n",
         {"/k"}},
        {"chunked and a length",
         "POST /k HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n4\r\nWiki\r\n0\r\n\r\n"
         "GET /smuggled HTTP/1.1\r\n\r\n",
         {"/k"},
         true},
        {"chunked from HTTP/1.0 with keep-alive",
         "POST /k HTTP/1.0\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"
         "GET /smuggled HTTP/1.1\r\n\r\n",
         {"/k"},
         true},
    };
    return s_cases;
}

}  // namespace rttest
