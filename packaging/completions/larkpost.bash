# bash completion for larkpost
_larkpost() {
  local cur prev words cword
  _init_completion || return
  local commands="backup restore verify show convert merge salvage store"
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --store | --codepage | --region) ((i++)) ;;
      -*) ;;
      *) command=${words[i]}; break ;;
    esac
  done
  case $prev in
    --store) _filedir db; return ;;
    --codepage) COMPREPLY=($(compgen -W "auto 1252 65001 936 950 932 949 1250 1251 1253 1254 1255 1256 1257 1258 874" -- "$cur")); return ;;
    --folders) COMPREPLY=($(compgen -W "draft inbox outbox sent deleted" -- "$cur")); return ;;
    --sync) COMPREPLY=($(compgen -W "group each" -- "$cur")); return ;;
    --deleted-as) COMPREPLY=($(compgen -W "direction received sent" -- "$cur")); return ;;
    # Values of their own: no command, option or file fits.
    --region | --since | --until | --contact) COMPREPLY=(); return ;;
  esac
  local options
  case $command in
    "") options="--store --codepage --region --help --version"
        [[ $cur != -* ]] && { COMPREPLY=($(compgen -W "$commands" -- "$cur")); return; } ;;
    backup) options="--force --sync --folders --since --until --drafts --contact --help" ;;
    restore) options="--yes --dry-run --json --folders --since --until --drafts --contact --help" ;;
    verify) options="--json --folders --since --until --drafts --contact --help" ;;
    show) options="--json --folders --since --until --drafts --contact --help" ;;
    convert) options="--force --json --deleted-as --folders --since --until --drafts --contact --help" ;;
    merge) options="--force --json --deleted-as --folders --since --until --drafts --contact --help" ;;
    salvage) options="--force --deleted-as --help" ;;
    store)
      if [[ $cur != -* && ${words[cword - 1]} == store ]]; then
        COMPREPLY=($(compgen -W "init list dump load dedupe" -- "$cur")); return
      fi
      options="--dry-run --yes --json --help" ;;
    *) options="--help" ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  else
    _filedir
  fi
}
complete -F _larkpost larkpost
