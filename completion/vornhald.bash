# bash completion for vornhald                               -*- shell-script -*-
# Installed as share/bash-completion/completions/vornhald.

_vornhald() {
  local cur prev
  COMPREPLY=()
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}

  case $prev in
    -F|--file|-o|--outfile)
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -f -- "$cur"))
      return ;;
    --config-dir|-d|--download-dir)
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -d -- "$cur"))
      return ;;
    -r|--revision|--stop)
      COMPREPLY=($(compgen -W 'HEAD' -- "$cur"))
      return ;;
    --trust-server-cert-failures)
      local prefix=${cur%"${cur##*,}"}
      COMPREPLY=($(compgen -P "$prefix" -W \
        'unknown-ca cn-mismatch expired not-yet-valid other' -- "${cur##*,}"))
      return ;;
    --config-option)
      COMPREPLY=($(compgen -W 'config: servers:' -- "$cur"))
      compopt -o nospace 2>/dev/null
      return ;;
    -u|--username|-p|--password|--prefix|--timeout|--sessions)
      return ;;
  esac

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '-h --help --version -q --quiet -v --verbose
      -n --dry-run -r --revision -F --file --deltas --incremental --prefix
      --keep-revnums --no-incremental-header --obfuscate -u --username
      -p --password --password-from-stdin --no-auth-cache --non-interactive
      --force-interactive --trust-server-cert-failures --config-dir
      --config-option --timeout --sessions' -- "$cur"))
    return
  fi
  COMPREPLY=($(compgen -W 'file:// svn:// http:// https://' -- "$cur"))
  compopt -o nospace 2>/dev/null
}
complete -F _vornhald vornhald
