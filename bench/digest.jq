# The digest mapping in jq, the peer of `vantle digest-omp` in bench/run: run as
# `jq -cR -f bench/digest.jq LOG`. Same records, same key order. jq differs from the tool only in
# values the benchmark data avoids: it prints doubles and U+007F its own way.

def scalar_text:
  if type == "string" then .
  elif type == "boolean" or type == "number" then tostring
  else null end;

def sorted_keys:
  walk(if type == "object" then to_entries | sort_by(.key) | from_entries else . end);

def summary:
  if type != "object" then ""
  else
    . as $args
    | ([("path", "command", "pattern", "query", "url", "prompt", "file_path", "i", "description")
        | . as $key | select($args | has($key)) | $args[$key] | scalar_text | select(. != null and . != "")]
       + [$args | keys[] | . as $key | $args[$key] | scalar_text | select(. != null and . != "")])
    | if length > 0 then .[0] else ($args | sorted_keys | tojson) end
  end;

fromjson?
| select(type == "object" and .type == "message")
| (if (.timestamp | type) == "string" and .timestamp != "" then {ts: .timestamp} else {} end) as $ts
| select((.message | type) == "object")
| .message.role as $role
| select($role == "user" or $role == "assistant")
| (if $role == "user" then "input" else "agent" end) as $who
| .message.content
| if type == "string" then
    select(. != "") | {role: $who, text: .}
  elif type == "array" then
    .[]
    | select(type == "object" and (.type | type) == "string")
    | if .type == "text" then
        select((.text | type) == "string" and .text != "") | {role: $who, text: .text}
      elif .type == "toolCall" and $role == "assistant" then
        {role: "tool", tool: {arg: (.arguments | summary), name: (if (.name | type) == "string" then .name else "" end)}}
      else empty end
  else empty end
| . + $ts
