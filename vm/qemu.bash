# shellcheck shell=bash
# vm/qemu.bash -- how qemu runs a guest on this host: the accelerator, the
# memory, the options of one run (its disks, its shares, its ports, its
# network card), and what vm/guest --describe tells.
#
# Takes, from vm/guest: run, boot, initrd, root_kind, projdir, stdio, forward,
# network, warm, accel, cpu, smp, memory, cache, release, helper, failed, and
# own_root_name (vm/own-root.bash). Gives
# choose_accel, default_memory, describe, qemu_args (into args) and port.

: "${run?}" "${root_kind:?}" "${projdir?}" "${stdio?}" "${network:?}" "${cache:?}" "${release:?}"
: "${accel?}" "${cpu?}" "${smp?}" "${memory?}" "${boot?}" "${initrd?}"

# choose_accel: how qemu runs the guest (accel: kvm or tcg)
choose_accel() {
  case ${LAB_GUEST_ACCEL:-} in
    kvm | tcg) accel=$LAB_GUEST_ACCEL ;;
    # KVM where the device is ours and the processor offers virtualisation
    # (some virtual machines have a /dev/kvm that never runs a guest)
    "") accel=tcg
        if [[ -r /dev/kvm && -w /dev/kvm ]] && grep -q -w -E 'vmx|svm' /proc/cpuinfo; then accel=kvm; fi ;;
    *) die "LAB_GUEST_ACCEL is kvm or tcg, not '$LAB_GUEST_ACCEL'" ;;
  esac
}

args=()

# qemu_args DISK OPTIONS...: qemu's options for this run, into args
qemu_args() {
  args=(
    -nodefaults -no-user-config -display none -no-reboot
    -machine pc -accel "$accel" -cpu "$cpu" -smp "$smp" -m "$memory"
    -bios /usr/share/qemu/qboot.rom
    -kernel "$boot" -initrd "$initrd"
    # Under emulation the kernel's crypto self-tests take a sixth of the boot,
    # and the interrupt routing that ACPI describes half a second (its
    # bytecode, run for each PCI device); the MP table that qboot gives says
    # the same. The guest runs nothing but the user's own programs: no
    # mitigation of speculative execution is needed between them and it.
    -append "console=ttyS1 ${LAB_GUEST_APPEND:-quiet} cryptomgr.notests acpi=noirq mitigations=off panic=-1 lab.root=$root_kind"
    -virtfs "local,path=$run,mount_tag=run,security_model=none"
  )
  if [[ $root_kind == host ]]; then
    args+=(-virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap")
  fi
  while (($# > 0)); do # qemu reads a comma in a value as two
    args+=(-drive "file=${1//,/,,},if=virtio,format=raw,$2")
    shift 2
  done
  [[ -z $projdir ]] ||
    args+=(-virtfs "local,path=${projdir//,/,,},mount_tag=project,security_model=none,multidevs=remap")
  args+=(-serial null -serial "file:$run/console")
  # a warm guest's commands come over the network card (vm/warm.bash)
  [[ -n $warm ]] || stdio_ports
  [[ -z $forward ]] || network_card
}

# stdio_ports: the ports of a cold guest's one command: its standard streams
# (files and a socket), and at a terminal the terminal and its control line
stdio_ports() {
  # ioeventfd off: a write to a port reaches its file before the write returns
  args+=(-device "virtio-serial-pci,ioeventfd=off")
  port stdout "file,path=$run/stdout"
  port stderr "file,path=$run/stderr"
  if [[ $stdio == tty,* ]]; then
    port tty "pipe,path=$run/tty"
    port ctl "pipe,path=$run/ctl"
  else
    # Standard input through a socket that qemu connects to. At the end of
    # input the relay only shuts down its sending side, and qemu hands the
    # guest all that came before the end.
    helper socat -t 1000000 'STDIN!!OPEN:/dev/null' "UNIX-LISTEN:$run/stdin" <&0 2>/dev/null
    local tries=0
    until [[ -S $run/stdin ]]; do
      ((tries++ < 500)) || failed "socat did not start"
      sleep 0.01
    done
    port stdin "socket,path=$run/stdin"
  fi
}

# network_card: the guest's one network card, with the forwarding rules in
# forward and nothing else
network_card() {
  # restrict=on: the guest reaches nothing but what guestfwd names (and
  # hostfwd lets in). The card has no control queue, so the guest's driver
  # never busy-waits on it (a guest once hung in a kernel worker on its way
  # to power off).
  local card=virtio-net-pci,netdev=display,ctrl_vq=off,guest_announce=off
  card+=,ctrl_rx=off,ctrl_rx_extra=off,ctrl_vlan=off,ctrl_mac_addr=off,ctrl_guest_offloads=off
  args+=(-netdev "user,id=display,restrict=on,ipv6=off,net=$network,$forward" -device "$card")
}

# port NAME CHARDEV: a virtio port that the guest finds as lab.NAME
port() { args+=(-chardev "$2,id=$1" -device "virtserialport,chardev=$1,name=lab.$1"); }

# default_memory: the guest's memory in MB by default: 2G, or three quarters
# of the host's memory where that is less. The test suite, the tour and the
# making of the guest's own root need less; the kernel boots a tenth sooner
# with 2G than with 4G under emulation (it sets up a record for each page).
default_memory() {
  awk '/^MemTotal:/ { m = int($2 / 1024 * 3 / 4); print m < 2048 ? m : 2048 }' /proc/meminfo
}

# describe: what this host's guest boots, where it keeps it (own: the name
# of the folder of its own root), and how many
# guests run well side by side here: one a processor, as many as three
# quarters of the memory hold (most of a guest's memory is never touched:
# half its size is counted)
describe() {
  local at_once
  at_once=$(awk -v mb="$(default_memory)" -v cpus="$(nproc)" '/^MemTotal:/ {
    n = int($2 / 1024 * 3 / 4 / (mb / 2)); if (n > cpus) n = cpus; print n < 1 ? 1 : n }' /proc/meminfo)
  choose_accel
  printf '%s\n' "root=$root_kind" "cache=$cache" "release=$release" "own=$(own_root_name "$release")" \
    "at_once=$at_once" "accel=$accel"
}
