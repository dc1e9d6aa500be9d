# Turns `velkaro --list --json` into node_exporter's textfile format:
#   velkaro --list --json | jq -r -f velkaro-textfile.jq > velkaro.prom.$$ &&
#     mv velkaro.prom.$$ /var/lib/prometheus/node-exporter/velkaro.prom
# A port that could not be judged gets no sample, rather than a wrong one; nor
# does a port whose use could not be seen (no /proc, not yours to open):
# only a holder told, a port Velkaro opened, or one that is not there say.
def escaped: gsub("\\\\"; "\\\\") | gsub("\""; "\\\"") | gsub("\n"; "\\n");
def labels: "{port=\"\(.port // "" | escaped)\",device=\"\(.device | escaped)\"}";
[.ports[] | select(.present != null)] as $judged
| "# HELP velkaro_port_present Whether the serial port exists.",
  "# TYPE velkaro_port_present gauge",
  ($judged[] | "velkaro_port_present\(labels) \(if .present then 1 else 0 end)"),
  "# HELP velkaro_port_in_use Whether another program holds the serial port.",
  "# TYPE velkaro_port_in_use gauge",
  ($judged[] | (if .holder != null then 1
                 elif .present == false or .finding == "present, free"
                   or (.finding | startswith("present, but it refused line settings")) then 0
                 else empty end) as $in_use
             | "velkaro_port_in_use\(labels) \($in_use)")
