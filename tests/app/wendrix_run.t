wendrix-run as a user drives it from a shell. Lines indented by two spaces are the test: "$ "
starts a command (bash, in the folder $WORK, standard input /dev/null, errors with the output),
"> " goes on with it, the other indented lines are its output, "(no-eol)" marks a last line
without a line break and "[N]" an exit status other than 0. $RUN is wendrix-run and $CHILD the
test child, whose arguments are operations (tests/helpers/test_child.cpp). Other lines are
commentary.

A tree whose extensions are exit statuses, and one with names a shell would take apart.

  $ mkdir tree out root root/sub && touch tree/a.0 tree/b.3 tree/c.0
  $ touch root/plain.txt "root/it's \"odd\""$'\n\xff'.txt "root/sub/\$(touch pwned) 'x'.txt"

Exit statuses and what standard error tells.

  $ $RUN --path tree --command $CHILD --parameters 'echo %n exit 0'
  a
  b
  c
  $ $RUN --path tree --command $CHILD --parameters 'echo %n exit %e'
  a
  b
  c
  wendrix-run: 1 of 3 commands failed
  [1]
  $ $RUN -j 3 --path tree --command $CHILD --parameters 'echo %n exit %e'
  a
  b
  c
  wendrix-run: 1 of 3 commands failed
  [1]
  $ $RUN --path tree --command $CHILD --parameters 'echo %n exit %e' --fail-fast
  a
  b
  wendrix-run: 1 of 2 commands failed
  [1]
  $ $RUN --path tree --command missing/program
  wendrix-run: cannot start missing/program: No such file or directory
  wendrix-run: 3 of 3 commands could not be started
  [1]
  $ $RUN -j 3 --path tree --command missing/program
  wendrix-run: cannot start missing/program: No such file or directory
  wendrix-run: 3 of 3 commands could not be started
  [1]
  $ $RUN --path tree --command missing/program --parameters %n --dry-run
  'missing/program' 'a'
  wendrix-run: cannot start missing/program: No such file or directory
  'missing/program' 'b'
  'missing/program' 'c'
  wendrix-run: 3 of 3 commands could not be started
  [1]
  $ $RUN --path gone --command $CHILD
  wendrix-run: cannot list gone/: No such file or directory
  wendrix-run: 1 folder could not be listed
  [1]
  $ $RUN --path tree --command $CHILD --parameters 'echo %n exit 0' --progress
  a
  b
  c

The progress line only on a terminal, and off it while a command writes its own error: that
comes on a line cleared of the progress, which is drawn again after.

  $ script -qec "$RUN --path tree --command $CHILD --parameters 'stderr %n' --progress >off" \
  >   /dev/null | cat -v | sed 's/\^M\^\[\[K/|/g' |
  >   grep -oE '^\|wendrix-run: 0/3 done, 0 failed, 0:00 elapsed|\|[abc]\|wendrix-run: |\|$' && cat off
  |wendrix-run: 0/3 done, 0 failed, 0:00 elapsed
  |a|wendrix-run: 
  |b|wendrix-run: 
  |c|wendrix-run: 
  |
  $ $RUN --path tree --command $CHILD --parameters 'echo %n' 2>&1 >/dev/full | cut -d , -f 1
  wendrix-run: the output could not be written (No space left on device)
  [3]
  $ { $RUN --path tree --command $CHILD --parameters 'echo %n' >/dev/full; } 2>/dev/null
  [3]


Several at once write what one at a time writes, whatever order they end in.

  $ mkdir sleeps && touch sleeps/1.300 sleeps/2.0 sleeps/3.150 sleeps/4.20 sleeps/5.0 sleeps/6.100
  $ $RUN -j 4 --path sleeps --command $CHILD --parameters 'echo %n-a sleep %e echo %n-b sleep %e echo %n-c'
  1-a
  1-b
  1-c
  2-a
  2-b
  2-c
  3-a
  3-b
  3-c
  4-a
  4-b
  4-c
  5-a
  5-b
  5-c
  6-a
  6-b
  6-c

Command lines that cannot be used, and settings files that cannot be read, are refused with
status 2 and one line.

  $ printf '[Desktop Entry]\nName=x\n' >other.ini && touch empty.ini
  $ $RUN
  wendrix-run: no settings file or value given (see wendrix-run --help)
  [2]
  $ $RUN missing.ini
  wendrix-run: cannot use the settings file missing.ini: No such file or directory
  [2]
  $ $RUN "$WORK"
  wendrix-run: cannot use the settings file $WORK: it is a folder
  [2]
  $ $RUN empty.ini
  wendrix-run: cannot use the settings file empty.ini: it is not a settings file: it sets none of the seven keys (StringPath, StringCommand, ...)
  [2]
  $ $RUN other.ini
  wendrix-run: cannot use the settings file other.ini: it is not a settings file: it sets none of the seven keys (StringPath, StringCommand, ...)
  [2]
  $ $RUN $CHILD
  wendrix-run: cannot use the settings file $CHILD: it is not a settings file: it sets none of the seven keys (StringPath, StringCommand, ...)
  [2]
  $ $RUN --bogus other.ini
  wendrix-run: unknown option --bogus (see wendrix-run --help)
  [2]
  $ $RUN other.ini empty.ini
  wendrix-run: only one settings file can be given (see wendrix-run --help)
  [2]
  $ $RUN - other.ini
  wendrix-run: only one settings file can be given (see wendrix-run --help)
  [2]
  $ $RUN --path
  wendrix-run: --path needs a value (see wendrix-run --help)
  [2]
  $ $RUN --jobs=x --path tree
  wendrix-run: -j/--jobs needs a number of commands, 0 or more (see wendrix-run --help)
  [2]
  $ $RUN --max-depth -1 --path tree
  wendrix-run: --max-depth needs a number of levels, 0 or more (see wendrix-run --help)
  [2]
  $ $RUN --search x --save no/such/folder.ini
  wendrix-run: cannot write the settings file no/such/folder.ini
  [2]
  $ $RUN --search $'a\nb' --save x.ini
  wendrix-run: cannot save a value that holds a line break
  [2]
  $ $RUN --resume --path tree
  wendrix-run: --resume needs --joblog (see wendrix-run --help)
  [2]
  $ $RUN --command x
  wendrix-run: no folder to walk: name it with --path
  [2]
  $ $RUN --path tree --command $CHILD --destination gone
  wendrix-run: the destination gone is not a folder
  [2]
  $ $RUN --retry-failed --resume --joblog log --path tree
  wendrix-run: --resume and --retry-failed cannot be given together (see wendrix-run --help)
  [2]
  $ $RUN --dry-run -j 2
  wendrix-run: no settings file or value given (see wendrix-run --help)
  [2]
  $ $RUN --paramters x a.ini
  wendrix-run: unknown option --paramters, did you mean --parameters? (see wendrix-run --help)
  [2]
  $ $RUN -path x
  wendrix-run: unknown option -path, did you mean --path? (see wendrix-run --help)
  [2]
  $ $RUN -j -1 a.ini
  wendrix-run: -j/--jobs needs a number of commands, 0 or more (see wendrix-run --help)
  [2]
  $ $RUN --jobs=2x a.ini
  wendrix-run: -j/--jobs needs a number of commands, 0 or more (see wendrix-run --help)
  [2]
  $ $RUN -j 9999999 a.ini
  wendrix-run: -j/--jobs needs a number of commands, 0 or more (see wendrix-run --help)
  [2]
  $ $RUN --save= a.ini
  wendrix-run: --save needs the name of a file (see wendrix-run --help)
  [2]
  $ $RUN --files=1 a.ini
  wendrix-run: --files takes no value (see wendrix-run --help)
  [2]

A Mirrored folder that cannot be made is told, and the entries below it still run; held errors
are output too.

  $ mkdir -p mirror/tree/sub mirror/out && touch mirror/tree/sub/x.0 mirror/out/sub
  $ $RUN --path mirror/tree --destination mirror/out --command $CHILD --parameters 'echo %n'
  wendrix-run: cannot create folder mirror/out/sub: File exists
  x
  wendrix-run: 1 folder could not be created
  [1]
  $ { $RUN --path tree --command $CHILD --parameters 'stderr %n' -j 4 2>/dev/full; } 2>&1
  [3]

Saved options load back: without a file the values not given are a new window's; a file's
values stay where no option sets them.

  $ $RUN --path root --search '*.txt' --folders --no-files --command $CHILD --destination out \
  >   --parameters 'args %n "%d" -- %f' --save job.ini && cat job.ini
  StringPath = root
  StringSearchText = *.txt
  CheckboxProcessFiles = 0
  CheckboxProcessFolders = 1
  StringDestination = out
  StringCommand = $CHILD
  StringParameters = args %n "%d" -- %f
  $ $RUN --search x --save new.ini && cat new.ini
  StringPath = 
  StringSearchText = x
  CheckboxProcessFiles = 1
  CheckboxProcessFolders = 0
  StringDestination = 
  StringCommand = 
  StringParameters = "%f"
  $ $RUN --files --no-folders --save job.ini job.ini && cat job.ini
  StringPath = root
  StringSearchText = *.txt
  CheckboxProcessFiles = 1
  CheckboxProcessFolders = 0
  StringDestination = out
  StringCommand = $CHILD
  StringParameters = args %n "%d" -- %f
  $ $RUN --search x '--path=/a b' --no-files --folders --command --x --parameters '-v %f' \
  >   --destination d --save forms.ini && cat -v forms.ini
  StringPath = /a b^M
  StringSearchText = x^M
  CheckboxProcessFiles = 0^M
  CheckboxProcessFolders = 1^M
  StringDestination = d^M
  StringCommand = --x^M
  StringParameters = -v %f^M
  $ cp forms.ini ./--odd.ini && $RUN --search= --files --save forms.ini -- --odd.ini &&
  >   grep -E 'Search|Files' forms.ini | cat -v
  StringSearchText = ^M
  CheckboxProcessFiles = 1^M
  $ $RUN --path '' --search nopath job.ini
  wendrix-run: no folder to walk: name it with --path
  [2]

A hand-edited settings file reads alike with every line end: keys without regard to ASCII case,
the first of a key counts, blanks around a value go, comments and lines without "=" count
for nothing, and a group header ends what is read. A value ends at its first NUL byte, as
every system call would read it, and a key holding one matches nothing. A check box reads its
value as formatted scanning does, saturated, so that no value wraps round to a cleared box.

  $ printf '%s\n' '' $'  \t' $'\t  stringpath=C:\\x' 'StringParameters   =    -o=%d   ' \
  >   'StringCommand = first' 'stringcommand = second' '  ; CheckboxProcessFiles = 0' \
  >   'StringSearchText = a;b=c # d' 'StringDestination' '[Main]' 'CheckboxProcessFolders = 1' >hand.ini
  $ for end in '\r\n' '\n' '\r' '\n\r\n'; do
  >   awk -v ORS="$end" 1 hand.ini >h.ini && $RUN h.ini --save s.ini && cat -v s.ini; done | sort | uniq -c
        4 CheckboxProcessFiles = 1^M
        4 CheckboxProcessFolders = 0^M
        4 StringCommand = first^M
        4 StringDestination = ^M
        4 StringParameters = -o=%d^M
        4 StringPath = C:\x^M
        4 StringSearchText = a;b=c # d^M
  $ printf 'StringPath = /x/root\0\0\0\nStringCommand = /bin/echo\0 --evil\nStringSearch\0Text = x\nStringParameters = \0x\nStringDestination = v \0 w\n' >nul.ini &&
  > $RUN nul.ini --save s.ini && cat -v s.ini
  StringPath = /x/root^M
  StringSearchText = ^M
  CheckboxProcessFiles = 1^M
  CheckboxProcessFolders = 0^M
  StringDestination = v^M
  StringCommand = /bin/echo^M
  StringParameters = ^M
  $ for values in '4294967296 1abc' 'abc \v+5' '-9999999999 -3' '0 '; do set -- $values
  >   printf 'CheckboxProcessFiles = %b\nCheckboxProcessFolders = %b\n' "$1" "$2" >i.ini &&
  >   $RUN i.ini --save s.ini && grep -h Checkbox s.ini | tr -d '\r' | xargs; done
  CheckboxProcessFiles = 1 CheckboxProcessFolders = 1
  CheckboxProcessFiles = 0 CheckboxProcessFolders = 1
  CheckboxProcessFiles = 1 CheckboxProcessFolders = 1
  CheckboxProcessFiles = 0 CheckboxProcessFolders = 0

Settings come from a FIFO (its writer coming after the reader opened it), standard input and
/dev/stdin as from a file.

  $ $RUN job.ini | cat -v >expected && mkfifo fifo
  $ (sleep 0.1; cat job.ini >fifo) & $RUN fifo | cat -v | cmp - expected
  $ $RUN - <job.ini | cat -v | cmp - expected
  $ $RUN /dev/stdin <job.ini | cat -v | cmp - expected

A dry run writes a job file: the Mirrored folders first, then one command per line, each word
quoted so that a name can neither split nor inject (a line break as $'\n'). Run by a shell it
does what the run does, and creates what the run creates.

  $ rm -r out/sub && $RUN --dry-run job.ini >jobs && cat -v jobs && test ! -e out/sub
  mkdir -p -- 'out/sub'
  '$CHILD' 'args' $'it\'s "odd"\nM-^?' 'out/' '--' $'root/it\'s "odd"\nM-^?.txt'
  '$CHILD' 'args' 'plain' 'out/' '--' 'root/plain.txt'
  '$CHILD' 'args' '$(touch pwned) '\''x'\''' 'out/sub/' '--' 'root/sub/$(touch pwned) '\''x'\''.txt'
  $ bash jobs | cat -v >pasted && test -d out/sub && test ! -e pwned && rm -r out/sub
  $ $RUN job.ini | cat -v | cmp - pasted && cat pasted
  it's "odd"
  M-^?
  out/
  --
  root/it's "odd"
  M-^?.txt
  plain
  out/
  --
  root/plain.txt
  $(touch pwned) 'x'
  out/sub/
  --
  root/sub/$(touch pwned) 'x'.txt
  $ $RUN --dry-run --search 'sub/*.txt' job.ini
  mkdir -p -- 'out/sub'
  '$CHILD' 'args' '$(touch pwned) '\''x'\''' 'out/sub/' '--' 'root/sub/$(touch pwned) '\''x'\''.txt'

--exclude leaves out names: a folder is not entered, a file not processed; --max-depth limits
the levels entered, and a folder not entered is mirrored only when it is processed itself.

  $ $RUN --path root --command $CHILD --parameters 'echo %f' --exclude sub --exclude 'it*'
  root/plain.txt
  $ $RUN --path root --command $CHILD --parameters 'echo %f' --folders --max-depth 0 | cat -v
  root/it's "odd"
  M-^?.txt
  root/plain.txt
  root/sub/
  $ $RUN --path root --destination out --command $CHILD --parameters %f --max-depth 0 --dry-run \
  >   | cat -v
  '$CHILD' $'root/it\'s "odd"\nM-^?.txt'
  '$CHILD' 'root/plain.txt'
  $ $RUN --path root --destination out --command $CHILD --parameters %f --max-depth 0 --dry-run \
  >   --folders --no-files
  mkdir -p -- 'out/sub'
  '$CHILD' 'root/sub/'
  $ $RUN --path root --command $CHILD --parameters 'echo %f' --max-depth 1 | cat -v
  root/it's "odd"
  M-^?.txt
  root/plain.txt
  root/sub/$(touch pwned) 'x'.txt

--tag: a header line before each command's output, on a line of its own; none for a command
that wrote nothing.

  $ $RUN --path tree --command $CHILD --parameters 'bytes %e' --tag | cat -v
  ==> tree/b.3 <==
  ^@^A^B (no-eol)
  $ $RUN --path tree --command $CHILD --parameters 'text %n' --tag -j 2
  ==> tree/a.0 <==
  a
  ==> tree/b.3 <==
  b
  ==> tree/c.0 <==
  c (no-eol)

--creates: an entry whose file is there and not older is passed over; a failed command's file
is removed, so the entry runs again.

  $ mkdir made
  $ $RUN --path tree --destination made --command $CHILD --creates %d%n.out \
  >   --parameters 'touch %d%n.out echo %n exit %e'; ls made
  a
  b
  c
  wendrix-run: 1 of 3 commands failed
  a.out
  c.out
  $ touch -d '+1 hour' tree/a.0
  $ $RUN --path tree --destination made --command $CHILD --creates %d%n.out \
  >   --parameters 'touch %d%n.out echo %n exit %e' --dry-run
  '$CHILD' 'touch' 'made/a.out' 'echo' 'a' 'exit' '0'
  '$CHILD' 'touch' 'made/b.out' 'echo' 'b' 'exit' '3'
  # up to date: '$CHILD' 'touch' 'made/c.out' 'echo' 'c' 'exit' '0'
  $ $RUN --path tree --destination made --command $CHILD --creates %d%n.out \
  >   --parameters 'touch %d%n.out echo %n exit %e'
  a
  b
  wendrix-run: 1 of 2 commands failed
  [1]

A command ended by a signal has its file removed, so the next run does the entry again.

  $ mkdir stopped
  $ $RUN --path tree --destination stopped --command $CHILD --creates %d%n.out \
  >   --parameters 'touch %d%n.out echo %n sleep 600000' >started & pid=$!
  > until grep -q a started; do sleep 0.01; done; kill $pid; wait $pid; echo $?; ls stopped
  wendrix-run: stopped by SIGTERM, 1 of 1 command failed
  143
  $ $RUN --path tree --destination stopped --command $CHILD --creates %d%n.out \
  >   --parameters 'touch %d%n.out echo %n' && ls stopped
  a
  b
  c
  a.out
  b.out
  c.out

--joblog: a line per command, tab-separated, after a header; times left out here.

  $ $RUN --path tree --command $CHILD --parameters 'echo %n exit %e' --joblog log; cut -f 1-3,6 log
  a
  b
  c
  wendrix-run: 1 of 3 commands failed
  Path	Exitval	Signal	Command
  tree/a.0	0	0	'$CHILD' 'echo' 'a' 'exit' '0'
  tree/b.3	3	0	'$CHILD' 'echo' 'b' 'exit' '3'
  tree/c.0	0	0	'$CHILD' 'echo' 'c' 'exit' '0'

--resume goes by path: here an entry comes before b and c is gone, which would put b's record on
another entry if records were counted by position. --retry-failed runs only what failed, not
what the log does not name (ab); a changed command runs what was done again.

  $ touch tree/aa.0 && rm tree/c.0
  $ $RUN --path tree --command $CHILD --parameters 'echo %n exit %e' --joblog log --resume
  aa
  b
  wendrix-run: 1 of 2 commands failed
  [1]
  $ touch tree/ab.0
  $ $RUN --path tree --command $CHILD --parameters 'echo %n exit %e' --joblog log --retry-failed
  b
  wendrix-run: 1 of 1 command failed
  [1]
  $ $RUN --path tree --command $CHILD --parameters 'echo %n-x exit 0' --joblog log --resume
  a-x
  aa-x
  ab-x
  b-x
  $ $RUN --path tree --command $CHILD --parameters 'echo %n-x exit 0' --joblog log --resume --dry-run
  # done: '$CHILD' 'echo' 'a-x' 'exit' '0'
  # done: '$CHILD' 'echo' 'aa-x' 'exit' '0'
  # done: '$CHILD' 'echo' 'ab-x' 'exit' '0'
  # done: '$CHILD' 'echo' 'b-x' 'exit' '0'
  $ cut -f 1-3 log | tail -n +5
  tree/aa.0	0	0
  tree/b.3	3	0
  tree/b.3	3	0
  tree/a.0	0	0
  tree/aa.0	0	0
  tree/ab.0	0	0
  tree/b.3	0	0

Names holding a line break, a tab or a backslash are escaped, so each record reads back.

  $ touch root/$'t\tb\\\\n.txt'
  $ $RUN --joblog names --path root --command $CHILD --parameters 'exit 0 %f' && cut -f 1 names | cat -v
  Path
  root/it's "odd"\nM-^?.txt
  root/plain.txt
  root/t\tb\\\\n.txt
  root/sub/$(touch pwned) 'x'.txt
  $ $RUN --joblog names --path root --command $CHILD --parameters 'exit 0 %f' --resume
  $ $RUN --joblog other.ini --path root --command $CHILD --resume
  wendrix-run: other.ini is not a job log of wendrix-run
  [2]

Killed with SIGKILL, the run leaves each line whole; --resume does the rest, nothing twice.

  $ mkdir many && (cd many && seq 1000 | xargs touch)
  $ $RUN -j 4 --path many --command $CHILD --parameters 'exit 0 %n' --joblog kill.log & pid=$!
  > until [ "$(cat kill.log 2>/dev/null | wc -l)" -gt 100 ]; do sleep 0.01; done
  > { kill -9 $pid && wait $pid; } 2>/dev/null
  > awk -F '\t' 'NF != 6 { print "torn:", $0 }' kill.log; tail -c 1 kill.log | od -An -c
    \n
  $ $RUN -j 4 --path many --command $CHILD --parameters 'exit 0 %n' --joblog kill.log --resume
  $ cut -f 1 kill.log | sort | uniq -d; wc -l <kill.log
  1001


The walk: depth first, a folder's entries before its subfolders, later subfolders first ("b.txt"
lists before "B1"); %d is the entry's place below the destination, and a dry run makes no
folder.

  $ mkdir -p walk/A/A1 walk/B/B1 &&
  > touch walk/r.txt walk/A/a.txt walk/A/A1/a1.txt walk/B/b.txt walk/B/B1/b1.txt
  $ $RUN --path walk --folders --command echo --parameters '%f>%d' --dry-run
  'echo' 'walk/A/>A'
  'echo' 'walk/B/>B'
  'echo' 'walk/r.txt>'
  'echo' 'walk/B/b.txt>B/'
  'echo' 'walk/B/B1/>B/B1'
  'echo' 'walk/B/B1/b1.txt>B/B1/'
  'echo' 'walk/A/a.txt>A/'
  'echo' 'walk/A/A1/>A/A1'
  'echo' 'walk/A/A1/a1.txt>A/A1/'
  $ mkdir copy &&
  > $RUN --path walk/B --destination copy --command echo --parameters '%f>%d' --dry-run &&
  > ls copy
  mkdir -p -- 'copy/B1'
  'echo' 'walk/B/b.txt>copy/'
  'echo' 'walk/B/B1/b1.txt>copy/B1/'

A search text holding a folder hands on paths in the folder listed: the Root's own a.txt does
not stand in for A/a.txt.

  $ touch walk/a.txt && $RUN --path walk --search A1/a1.txt --command echo --parameters %f --dry-run
  'echo' 'walk/A/A1/a1.txt'
  $ $RUN --path walk --folders --search B/B1 --command echo --parameters '%f>%d' --dry-run
  'echo' 'walk/B/B1/>B/B1'
  $ $RUN --path walk/A --search '../*.txt' --command echo --parameters '%f>%d' --dry-run
  'echo' 'walk/A/../a.txt>../'
  'echo' 'walk/A/../r.txt>../'
  'echo' 'walk/A/A1/../a.txt>A1/../'

Without a command, a placeholder or a kind of entry nothing runs, yet the folders are
mirrored; with a command, each Mirrored folder exists before the commands of its parent's
entries.

  $ rm walk/a.txt &&
  > mkdir m1 m2 m3 &&
  > $RUN --path walk --folders --destination m1 --parameters %f &&
  > $RUN --path walk --folders --destination m2 --command $CHILD --parameters '--flag %F 100%' &&
  > $RUN --path walk --no-files --destination m3 --command $CHILD &&
  > find m1 m2 m3 -type d | sort | xargs
  m1 m1/A m1/A/A1 m1/B m1/B/B1 m2 m2/A m2/A/A1 m2/B m2/B/B1 m3 m3/A m3/A/A1 m3/B m3/B/B1
  $ mkdir m4 &&
  > $RUN --path walk --folders --destination m4 --command $CHILD --parameters 'isdir %d' | sort | uniq -c
        9 yes

The search text selects candidates only: every folder and link is walked, loops once, and A1
by the name the walk meets first ("also" before "A1").

  $ touch walk/A/A1/DOC &&
  > mkdir walk/B/doc1 &&
  > ln -s ../.. walk/A/A1/up &&
  > ln -s . walk/B/self &&
  > ln -s A1 walk/A/also
  $ $RUN --path walk --folders --search 'doc*' --command echo --parameters %f --dry-run
  'echo' 'walk/B/doc1/'
  'echo' 'walk/A/also/DOC'

A destination inside the Root is neither an entry nor entered nor mirrored, also by another
name, nor when named through a link back to the Root; a link to the Root is not entered.

  $ mkdir walk/B/out &&
  > ln -s B/out walk/to_out &&
  > $RUN --path walk --folders --search '*out' --destination walk/B/out --command echo --dry-run
  mkdir -p -- 'walk/B/out/A'
  mkdir -p -- 'walk/B/out/B'
  mkdir -p -- 'walk/B/out/B/B1'
  mkdir -p -- 'walk/B/out/B/doc1'
  mkdir -p -- 'walk/B/out/B/self'
  mkdir -p -- 'walk/B/out/A/A1'
  mkdir -p -- 'walk/B/out/A/also'
  mkdir -p -- 'walk/B/out/A/also/up'
  $ mkdir walk/A/out &&
  > $RUN --path walk --folders --search '*out' --destination walk/B/out --command echo --parameters '%f>%d' --dry-run
  mkdir -p -- 'walk/B/out/A'
  mkdir -p -- 'walk/B/out/B'
  mkdir -p -- 'walk/B/out/B/B1'
  mkdir -p -- 'walk/B/out/B/doc1'
  mkdir -p -- 'walk/B/out/B/self'
  mkdir -p -- 'walk/B/out/A/A1'
  mkdir -p -- 'walk/B/out/A/also'
  mkdir -p -- 'walk/B/out/A/out'
  mkdir -p -- 'walk/B/out/A/also/up'
  'echo' 'walk/A/out/>walk/B/out/A/out'
  $ ln -s . walk/alias &&
  > $RUN --path walk --folders --destination walk/alias/B/out --command missing; find walk/B/out -maxdepth 2 | sort | xargs
  wendrix-run: cannot start missing: No such file or directory
  wendrix-run: 16 of 16 commands could not be started
  walk/B/out walk/B/out/A walk/B/out/A/A1 walk/B/out/A/also walk/B/out/A/out walk/B/out/B walk/B/out/B/B1 walk/B/out/B/doc1 walk/B/out/B/self walk/B/out/alias
  $ p=walk/B/B1; for i in $(seq 12); do mkdir d$i; ln -s "$PWD/d$i" $p/x; ln -s "$PWD/d$i" $p/y; p=d$i; done; touch d12/deep.txt

Every folder is entered once whatever the links to it: each level links twice to the next,
so followed link by link the file at the bottom would be reached 2^12 times; C, walked before
A, is the name A is entered by.

  $ rm -r walk/A/also walk/B/doc1 walk/A/A1/DOC walk/B/out walk/A/out walk/to_out walk/alias &&
  > ln -s A walk/C &&
  > ln -s ../A walk/B/toA &&
  > $RUN --path walk --command echo --parameters '%f>%d' --dry-run
  'echo' 'walk/r.txt>'
  'echo' 'walk/C/a.txt>C/'
  'echo' 'walk/C/A1/a1.txt>C/A1/'
  'echo' 'walk/B/b.txt>B/'
  'echo' 'walk/B/B1/b1.txt>B/B1/'
  'echo' 'walk/B/B1/y/y/y/y/y/y/y/y/y/y/y/y/deep.txt>B/B1/y/y/y/y/y/y/y/y/y/y/y/y/'


How the parameters become words: blanks and tabs part them, double quotes join, "" inside
quotes is a quote, 2n backslashes before a quote give n and the quote acts, 2n+1 give n and a
quote; a command that begins with a quote is split the same way.

  $ mkdir w &&
  > cd w &&
  > mkdir -p one data/sub real names 'sep/my.d/a\b|c' &&
  > touch one/x data/sub/archive.tar.gz 'sep/my.d/a\b|c/.x"y' &&
  > ln -s real link
  $ cd w && $RUN --path one --command echo --parameters $' %n\t"" x"c d"y  b ' --dry-run
  'echo' 'x' '' 'xc dy' 'b'
  $ cd w && $RUN --path one --command echo --parameters '"a""b c" a\b a\\b %n' --dry-run
  'echo' 'a"b c' 'a\b' 'a\\b' 'x'
  $ cd w && $RUN --path one --command echo --parameters 'a\\"b c" a\\\"b "a\\" b %n' --dry-run
  'echo' 'a\b c' 'a\"b' 'a\' 'b' 'x'
  $ cd w && $RUN --path one --command $'"echo" %f "open b\nc' --parameters %n --dry-run
  'echo' '%f' $'open b\nc' 'x'

The placeholders, expanded in one pass: a value is never searched again; %t is the real folder
TMPDIR names. A folder has no name or extension, and an empty value alone makes no word;
only "/" separates, so backslashes, "|" and quotes belong to names.

  $ cd w && mkdir copy &&
  > HOME=/home/%t%d TMPDIR=$WORK/w/link $RUN --path data --search '*.gz' --destination copy --command echo --parameters '%f %p %n %e %h %t %d' --dry-run
  mkdir -p -- 'copy/sub'
  'echo' 'data/sub/archive.tar.gz' 'data/sub/' 'archive.tar' 'gz' '/home/%t%d/' '$WORK/w/real/' 'copy/sub/'
  $ cd w && $RUN --path data --no-files --folders --command echo --parameters '%F %x 100% %APPDIR% %f|%p|%n|%e %n %e %d "%n"' --dry-run
  'echo' '%F' '%x' '100%' '%APPDIR%' 'data/sub/|data/sub/||' 'sub' ''
  $ cd w && $RUN --path sep --command echo --parameters '%p|%n|%e' --dry-run
  'echo' 'sep/my.d/a\b|c/|.x"y|'

Any name stays one word.

  $ cd w && cd names &&
  > touch 'with space' "it's \"q\"" -- -dash $'new\nline' %d%f%t $'\xff\xfe' 'back\slash\"' $'tab\tand  blanks' &&
  > $RUN --path . --command echo --parameters 'a %f "q %f"'
  a ./%d%f%t q ./%d%f%t
  a ./-dash q ./-dash
  a ./back\slash\" q ./back\slash\"
  a ./it's "q" q ./it's "q"
  a ./new
  line q ./new
  line
  a ./tab	and  blanks q ./tab	and  blanks
  a ./with space q ./with space
  a ./ÿþ q ./ÿþ
