# Bash completion of the DAQ tools: each program's options, their fixed
# values, and after daq-reader's "--" the plug-in's option words.  Installed
# as daq-reader, with a link under each other program's name, so that
# bash-completion loads it for any of them.

_daq_tools_words() {
  mapfile -t COMPREPLY < <(compgen -W "$1" -- "$2")
}

_daq_tools_files() {
  mapfile -t COMPREPLY < <(compgen "$1" -- "$2")
}

_daq_tools() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} cmd=${1##*/} i
  local opts=""
  COMPREPLY=()
  case $cmd in
    daq-reader)
      for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == -- ]]; then
          case $prev in
            -out | -h5 | -xdump) _daq_tools_files -f "$cur"; return ;;
            -imdump) _daq_tools_files -d "$cur"; return ;;
            -h5z) _daq_tools_words "gzip none lz4 bslz4" "$cur"; return ;;
            -fti) return ;;
          esac
          _daq_tools_words "-out -hdf5 -evstat -xdump -imdump -imbin -nodump -dumpall -nostat
            -nonvn -zerocheck -fti -h5 -h5z" "$cur"
          return
        fi
      done
      case $prev in
        --plugin) _daq_tools_files -f "$cur"; return ;;
        --channels | --nbunch | --outmode) return ;;
      esac
      opts="--plugin --channels --nbunch --outmode --quiet --progress --help --version --"
      ;;
    daq-simulate)
      case $prev in
        --generation) _daq_tools_words "2010 2024" "$cur"; return ;;
        --out) _daq_tools_files -f "$cur"; return ;;
        --seed | --events | --first-event | --toroids | --bpms | --adcs | --samples | --cameras | --image) return ;;
      esac
      opts="--generation --seed --events --first-event --toroids --bpms --adcs --samples --cameras
        --image --out --progress --quiet --help --version"
      ;;
    daq-table2h5)
      case $prev in
        -o | --output | --xml) _daq_tools_files -f "$cur"; return ;;
        --codec) _daq_tools_words "gzip none lz4 bslz4" "$cur"; return ;;
        --fill | --kind | --gzip-level | --memory) return ;;
      esac
      opts="-o --output --xml --fill --kind --codec --gzip-level --memory --allow-truncated
        --check --help --version"
      ;;
    daq-quicklook)
      case $prev in
        -o | --output) _daq_tools_files -f "$cur"; return ;;
        --event-type) _daq_tools_words "all beam pedestal" "$cur"; return ;;
        --channels | --events) return ;;
      esac
      opts="-h -o --output --channels --events --event-type --describe --help --version"
      ;;
  esac
  if [[ $cur == -* ]]; then
    _daq_tools_words "$opts" "$cur"
  else
    _daq_tools_files -f "$cur"
  fi
}

complete -o filenames -F _daq_tools daq-reader daq-simulate daq-table2h5 daq-quicklook
