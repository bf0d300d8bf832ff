package quenlab.hopwarbler.buildtools;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import picocli.CommandLine;
import picocli.CommandLine.Help;
import picocli.CommandLine.Model.ArgSpec;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Model.OptionSpec;
import picocli.CommandLine.Model.PositionalParamSpec;
import quenlab.hopwarbler.cli.Main;

/**
 * Writes the manual page of the {@code hopwarbler} tool as AsciiDoc (doctype manpage), from the
 * picocli model of its commands, so that the page always shows the options the tool really takes.
 * The build turns the AsciiDoc into troff with asciidoctor. One page holds the main command and
 * each of its commands with their options and arguments.
 *
 * <p>Usage: {@code ManPage VERSION OUT.adoc}.
 *
 * <p>Every text taken from the model goes through {@code pass:c[...]}: AsciiDoc then escapes it
 * for the output format and applies none of its own markup (bold, replacements, attributes) to
 * it, whatever characters the descriptions hold.
 */
public final class ManPage {
  private ManPage() {}

  /**
   * Writes the page.
   *
   * @param args the version, then the AsciiDoc file to write
   * @throws IOException if the file cannot be written
   */
  public static void main(String[] args) throws IOException {
    if (args.length != 2) {
      System.err.println("usage: ManPage VERSION OUT.adoc");
      System.exit(2);
    }
    CommandSpec root = new CommandLine(new Main()).getCommandSpec();
    Files.writeString(Path.of(args[1]), page(root, args[0]), StandardCharsets.UTF_8);
  }

  static String page(CommandSpec root, String version) {
    String name = root.name();
    StringBuilder out = new StringBuilder();
    out.append("= ").append(name).append("(1)\n");
    out.append(":doctype: manpage\n");
    out.append(":manmanual: ").append(name).append(" manual\n");
    out.append(":mansource: ").append(name).append(' ').append(version).append("\n\n");

    out.append("== Name\n\n").append(name).append(" - ");
    // The purpose is read as plain text: the converter takes it apart before any markup.
    out.append(description(root.usageMessage().description()).get(0));
    out.append("\n\n== Synopsis\n\n");
    out.append(synopsis(root));
    for (CommandLine sub : root.subcommands().values()) {
      out.append(" +\n").append(synopsis(sub.getCommandSpec()));
    }
    out.append("\n\n== Description\n\n");
    for (String paragraph : description(root.usageMessage().description())) {
      out.append(text(paragraph)).append("\n\n");
    }
    arguments(out, root);
    footer(out, root);

    out.append("== Commands\n\n");
    for (CommandLine sub : root.subcommands().values()) {
      CommandSpec command = sub.getCommandSpec();
      out.append("=== ").append(text(command.qualifiedName())).append("\n\n");
      out.append(synopsis(command)).append("\n\n");
      for (String paragraph : description(command.usageMessage().description())) {
        out.append(text(paragraph)).append("\n\n");
      }
      arguments(out, command);
      footer(out, command);
    }
    return out.toString();
  }

  /** The command's synopsis line as its help shows it, with its name in bold. */
  private static String synopsis(CommandSpec command) {
    // Unwrapped: the man page reader wraps it to the terminal.
    command.usageMessage().autoWidth(false).width(Integer.MAX_VALUE / 2);
    Help help = new Help(command, Help.defaultColorScheme(Help.Ansi.OFF));
    String line = help.synopsis(0).strip().replaceAll("\\s+", " ");
    String qualified = command.qualifiedName();
    String rest = line.startsWith(qualified) ? line.substring(qualified.length()).strip() : line;
    return "**" + text(qualified) + "** " + text(rest);
  }

  /** The positional parameters and the options, each as a term with its description. */
  private static void arguments(StringBuilder out, CommandSpec command) {
    List<PositionalParamSpec> positionals = new ArrayList<>();
    for (PositionalParamSpec p : command.positionalParameters()) {
      if (!p.hidden()) positionals.add(p);
    }
    if (!positionals.isEmpty()) {
      out.append(".Arguments\n");
      for (PositionalParamSpec p : positionals) {
        out.append("__").append(text(p.paramLabel())).append("__::\n");
        out.append(text(String.join(" ", lines(p)))).append("\n");
      }
      out.append('\n');
    }
    List<OptionSpec> options = new ArrayList<>();
    for (OptionSpec o : command.options()) {
      if (!o.hidden()) options.add(o);
    }
    if (!options.isEmpty()) {
      out.append(".Options\n");
      for (OptionSpec o : options) {
        List<String> names = new ArrayList<>();
        for (String n : o.names()) {
          String term = "**" + text(n) + "**";
          if (o.arity().max() > 0) term += "=__" + text(o.paramLabel()) + "__";
          names.add(term);
        }
        out.append(String.join(", ", names)).append("::\n");
        out.append(text(String.join(" ", lines(o)))).append("\n");
      }
      out.append('\n');
    }
  }

  /** The footer: indented lines (examples) as literal blocks, the rest as paragraphs. */
  private static void footer(StringBuilder out, CommandSpec command) {
    List<String> literal = new ArrayList<>();
    for (String line : description(command.usageMessage().footer())) {
      if (line.startsWith(" ")) {
        literal.add(line.strip());
        continue;
      }
      flushLiteral(out, literal);
      out.append(text(line)).append("\n\n");
    }
    flushLiteral(out, literal);
  }

  private static void flushLiteral(StringBuilder out, List<String> literal) {
    if (literal.isEmpty()) return;
    out.append("....\n");
    for (String line : literal) out.append(line).append('\n');
    out.append("....\n\n");
    literal.clear();
  }

  /** The description of an option or argument as its help shows it, default value filled in. */
  private static List<String> lines(ArgSpec arg) {
    String value = String.valueOf(arg.defaultValueString());
    List<String> lines = new ArrayList<>();
    for (String line : arg.description()) {
      if (!line.isBlank()) lines.add(format(line.replace("${DEFAULT-VALUE}", value)));
    }
    return lines;
  }

  /** A picocli text block without its empty lines, its format escapes resolved. */
  private static List<String> description(String[] block) {
    List<String> lines = new ArrayList<>();
    for (String line : block) {
      if (!line.isBlank()) lines.add(format(line));
    }
    return lines;
  }

  /**
   * Resolves the format escapes that picocli's help resolves when it prints a text: {@code %%}
   * is a percent sign, {@code %n} a line end. Texts the model has already resolved pass as they
   * are.
   */
  private static String format(String text) {
    return text.replace("%n", " ").replace("%%", "%");
  }

  /** Text for AsciiDoc, shown as it is. */
  private static String text(String raw) {
    return "pass:c[" + raw.replace("]", "\\]") + "]";
  }
}
