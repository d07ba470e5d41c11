#!/usr/bin/env python3
"""Per-program coverage of the product code by the test suite.

coverage.py SOURCE BUILD OUT [REGEX]
Runs every CTest test of BUILD (a --coverage build) whose name matches REGEX, two at
a time, each with a GCOV_PREFIX of its own, so that the program and every process it
starts write their counters into OUT/runs/<test>; then one `gcovr --json` per
program (OUT/<test>.json) and a report: totals as the union of all programs' cover,
per top-level directory, and per program the lines and branches no other covers.
tests/, bench/ and generated files are not product code and are left out.
"""
import collections, glob, json, os, queue, re, shutil, subprocess, sys, threading, time

source, build, out = (os.path.abspath(a) for a in sys.argv[1:4])
pattern = re.compile(sys.argv[4]) if len(sys.argv) > 4 else None
os.makedirs(out, exist_ok=True)
listing = json.loads(subprocess.check_output(['ctest', '--show-only=json-v1'], cwd=build))
jobs = queue.Queue()
gcovr_lock = threading.Lock()
for test in listing['tests']:
    if 'command' in test and (not pattern or pattern.search(test['name'])):
        jobs.put(test)


def run_one(test):
    props = {p['name']: p['value'] for p in test.get('properties', [])}
    env = dict(os.environ, GCOV_PREFIX=os.path.join(out, 'runs', test['name']), GCOV_PREFIX_STRIP='0')
    shutil.rmtree(env['GCOV_PREFIX'], ignore_errors=True)
    for pair in props.get('ENVIRONMENT', []):
        key, value = pair.split('=', 1)
        env[key] = value
    start = time.time()
    try:
        done = subprocess.run(test['command'], cwd=props.get('WORKING_DIRECTORY', build), env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=float(props.get('TIMEOUT', 300)) * 2)
        rc, text = done.returncode, done.stdout
    except subprocess.TimeoutExpired as e:
        rc, text = 'timeout', e.stdout or b''
    with open(os.path.join(out, test['name'] + '.log'), 'wb') as f:
        f.write(text)
    # The notes files (.gcno) are the build's; gcovr wants them beside the counters.
    tree = env['GCOV_PREFIX'] + build
    if not os.path.isdir(tree):  # a script, or a program that wrote no counters
        print(f"{test['name']:28} exit {rc} {time.time() - start:6.1f} s, no counters", flush=True)
        return
    for gcda in glob.glob(tree + '/**/*.gcda', recursive=True):
        shutil.copy(build + gcda[len(tree):-5] + '.gcno', gcda[:-5] + '.gcno')
    # gcov writes its files where gcovr runs it, the same place for every program: one at a time.
    with gcovr_lock:
        subprocess.run(['gcovr', '-j', '2', '-r', source, '--object-directory', build, '--json',
                        os.path.join(out, test['name'] + '.json'),
                        tree], cwd=env['GCOV_PREFIX'], stderr=subprocess.DEVNULL, check=False)
    print(f"{test['name']:28} exit {rc} {time.time() - start:6.1f} s", flush=True)


def worker():
    while True:
        try:
            run_one(jobs.get_nowait())
        except queue.Empty:
            return


start = time.time()
threads = [threading.Thread(target=worker) for _ in range(2)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(f'wall time {time.time() - start:.1f} s')

# Every instrumented line, run or not: gcovr over the notes files alone.
everything = os.path.join(out, 'notes')
shutil.rmtree(everything, ignore_errors=True)
for gcno in glob.glob(build + '/**/*.gcno', recursive=True):
    os.makedirs(os.path.dirname(everything + gcno[len(build):]), exist_ok=True)
    shutil.copy(gcno, everything + gcno[len(build):])
subprocess.run(['gcovr', '-j', '2', '-r', source, '--object-directory', build, '--json',
                os.path.join(out, 'notes.json'), everything],
               cwd=out, stderr=subprocess.DEVNULL, check=True)

lines, branches = collections.defaultdict(set), collections.defaultdict(set)
all_lines, all_branches = set(), set()
for path in glob.glob(os.path.join(out, '*.json')):
    name = os.path.basename(path)[:-5]
    for entry in json.load(open(path))['files']:
        file = entry['file']
        if file.startswith(('tests/', 'bench/', '/')) or '_autogen' in file or file.startswith(
                os.path.relpath(build, source)):
            continue
        for line in entry['lines']:
            if line.get('gcovr/noncode'):
                continue
            key = (file, line['line_number'])
            all_lines.add(key)
            if line['count'] > 0:
                lines[name].add(key)
            for i, branch in enumerate(line.get('branches', [])):
                all_branches.add(key + (i,))
                if branch['count'] > 0:
                    branches[name].add(key + (i,))


def share(part, whole):
    return f'{100 * len(part) / max(len(whole), 1):.2f} % ({len(part)} of {len(whole)})'


covered_lines = set().union(*lines.values())
covered_branches = set().union(*branches.values())
print(f'lines {share(covered_lines, all_lines)}, branches {share(covered_branches, all_branches)}')
for top in sorted({k[0].split('/')[0] for k in all_lines}):
    def part(keys):
        return {k for k in keys if k[0].split('/')[0] == top}
    print(f'  {top:14} lines {share(part(covered_lines), part(all_lines))}, '
          f'branches {share(part(covered_branches), part(all_branches))}')
line_users = collections.Counter(k for keys in lines.values() for k in keys)
branch_users = collections.Counter(k for keys in branches.values() for k in keys)
print('program: lines covered, lines only it covers, branches only it covers')
for name in sorted(set(lines) - {'notes'}, key=lambda n: sum(line_users[k] == 1 for k in lines[n])):
    own = sum(line_users[k] == 1 for k in lines[name])
    own_branches = sum(branch_users[k] == 1 for k in branches[name])
    print(f'  {name:26} {len(lines[name]):6} {own:5} {own_branches:5}')
