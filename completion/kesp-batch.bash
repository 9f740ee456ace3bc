# bash completion for kesp-batch
