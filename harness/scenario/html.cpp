#include "scenario/html.h"

#include <cstdio>

#include "scenario/report.h"

namespace qvi::scenario {

namespace {

constexpr const char* kPageStyle =
    "body{font-family:sans-serif;margin:2em;max-width:80em}"
    "pre{background:#f6f6f6;padding:.5em;white-space:pre-wrap;overflow-wrap:anywhere}"
    "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:.2em .6em;text-align:left}"
    "summary{cursor:pointer}details>details{margin-left:1.5em}"
    ".add{color:#060}.del{color:#a00}.chg{color:#850}.failed{color:#a00;font-weight:bold}.ctl{color:#80f}";

}  // namespace

std::string HtmlText(const std::string& utf8) {
  std::string out;
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char code[48];
      std::snprintf(code, sizeof code, "<span class=\"ctl\">&lt;0x%02X&gt;</span>", byte);
      out += code;
    } else {
      out += MarkupText(std::string(1, c));
    }
  }
  return out;
}

std::string HtmlPageHead(const std::string& name) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>qvihost: " + HtmlText(name) +
         "</title>\n<style>" + kPageStyle + "</style></head><body>\n<h1>qvihost: " + HtmlText(name) + "</h1>\n";
}

}  // namespace qvi::scenario
