// Preview as an audience: the tree as one audience sees it, walked the way a
// customer walks it on the portal — one node at a time, its long text, its
// children as choices, a breadcrumb back and "see also" for a hyperlink.
// Where the walk stands lives in the address (?view=&audience=&node=), so the
// browser's back button steps back through the walk and a link can be shared.
import { useEffect, useMemo, useRef, useState } from "react";
import { Link, useParams, useSearchParams } from "react-router-dom";
import { ApiError } from "../api/errors";
import type { TreeNode, TreeType, TreeView, Visibility } from "../api/types";
import { useAuth } from "../auth/AuthContext";
import { hasRole } from "../auth/roles";
import { ErrorNotice } from "../components/ErrorNotice";
import { faqIds, pathTo, seeAlso, seenBy, seenChildren, type SeenTree } from "./audience";
import { useCatalog, useTemplates, useTreeCopy } from "./data";
import "./preview.css";

const EVERYONE = "all";

/** The engine's answers when the working copy asked for cannot be shown. */
const NO_WORKING_COPY = 1600;
const WORKING_COPY_REFUSED = 1601;

const TYPE_NAMES: Record<number, string> = {
  0: "Start",
  1: "Category",
  2: "Question",
  3: "Answer",
  4: "Action",
};

/** What the customer is asked to choose below a node of each type. */
const PROMPTS: Record<number, string> = {
  0: "What is the problem about?",
  1: "Which of these describes it?",
  2: "Choose your answer",
  3: "What to do",
  4: "Next steps",
};

function label(node: TreeNode): string {
  return node.short.trim() || `(untitled ${TYPE_NAMES[node.type]?.toLowerCase() ?? "node"} ${node.id})`;
}

export default function Preview() {
  const params = useParams();
  const treeType = Number(params.treeType);
  const id = Number(params.id);
  if ((treeType !== 1 && treeType !== 2) || !Number.isInteger(id) || id < 0)
    return (
      <main className="preview">
        <h1>Preview</h1>
        <p role="alert">This address does not name a tree.</p>
      </main>
    );
  return <PreviewOf treeType={treeType} id={id} />;
}

function PreviewOf({ treeType, id }: { treeType: TreeType; id: number }) {
  const [search, setSearch] = useSearchParams();
  const { identity } = useAuth();
  // Readers see published copies only; the engine would refuse them the working copy.
  const mayWork = hasRole(identity?.role, "author");
  const view: TreeView = search.get("view") === "working" && mayWork ? "working" : "published";
  const catalog = useCatalog();
  const templates = useTemplates();
  const tree = useTreeCopy(treeType, id, view);

  const visibilities: Visibility[] = catalog.data?.visibilities ?? [];
  const asked = search.get("audience");
  const audience: string | null =
    asked === EVERYONE
      ? null
      : asked !== null && visibilities.some((v) => v.id === asked)
        ? asked
        : (visibilities[0]?.id ?? null);
  const audienceName =
    audience === null ? "Every audience" : (visibilities.find((v) => v.id === audience)?.name ?? audience);

  const name =
    treeType === 1
      ? catalog.data?.products.find((p) => p.id === id)?.description
      : templates.data?.find((t) => t.id === id)?.name;
  const title = `Preview of ${name ?? (treeType === 1 ? `product ${id}` : `template ${id}`)}`;

  useEffect(() => {
    document.title = `${title} · tsauthor`;
  }, [title]);

  const seen = useMemo(
    () => (tree.data ? seenBy(tree.data.root, audience) : null),
    [tree.data, audience],
  );

  function choose(key: string, value: string) {
    setSearch(
      (prev) => {
        const next = new URLSearchParams(prev);
        next.set(key, value);
        return next;
      },
      { replace: true },
    );
  }

  return (
    <main className="preview" aria-labelledby="preview-title">
      <h1 id="preview-title">{title}</h1>
      <form className="preview-controls" onSubmit={(e) => e.preventDefault()}>
        <label>
          Audience
          <select
            value={audience ?? EVERYONE}
            onChange={(e) => choose("audience", e.target.value)}
            disabled={catalog.isPending}
          >
            {visibilities.map((v) => (
              <option key={v.id} value={v.id}>
                {v.name}
              </option>
            ))}
            <option value={EVERYONE}>Every audience (all nodes)</option>
          </select>
        </label>
        <fieldset>
          <legend>Copy</legend>
          {(["published", "working"] as const).map((v) => (
            <label key={v}>
              <input
                type="radio"
                name="preview-view"
                value={v}
                checked={view === v}
                disabled={v === "working" && !mayWork}
                onChange={() => choose("view", v)}
              />
              {v === "published" ? "Published" : mayWork ? "Working copy" : "Working copy (authors only)"}
            </label>
          ))}
        </fieldset>
      </form>
      {catalog.isError ? (
        <ErrorNotice error={catalog.error} title="The audiences could not be loaded; every node is shown." />
      ) : null}
      {tree.isPending ? (
        <p role="status">Loading the tree…</p>
      ) : tree.isError ? (
        tree.error instanceof ApiError &&
        (tree.error.number === NO_WORKING_COPY || tree.error.number === WORKING_COPY_REFUSED) ? (
          <p role="alert">
            {tree.error.number === NO_WORKING_COPY
              ? "Nobody has this tree checked out, so it has no working copy to walk. "
              : "Only authors see a working copy. "}
            <button type="button" onClick={() => choose("view", "published")}>
              Walk the published copy
            </button>
          </p>
        ) : (
          <ErrorNotice error={tree.error} title="The tree could not be shown." />
        )
      ) : seen ? (
        <>
          {tree.data.view !== view ? (
            <p className="preview-note" role="note">
              There is no working copy of this tree for you to see; this is the published copy.
            </p>
          ) : null}
          <Walk
            seen={seen}
            audienceName={audienceName}
            everyone={audience === null}
            at={Number(search.get("node") ?? "NaN")}
            search={search}
          />
        </>
      ) : null}
    </main>
  );
}

function Walk({
  seen,
  audienceName,
  everyone,
  at,
  search,
}: {
  seen: SeenTree;
  audienceName: string;
  everyone: boolean;
  at: number;
  search: URLSearchParams;
}) {
  const count = everyone
    ? `The tree has ${seen.total} nodes.`
    : `${audienceName} see ${seen.seen} of the tree's ${seen.total} nodes.`;
  if (!seen.root)
    return (
      <>
        <p role="status">{count}</p>
        <p className="preview-empty">
          {audienceName} see nothing of this tree: its top node is not visible to them.
        </p>
      </>
    );

  const path = pathTo(seen, at);
  const lost = !Number.isNaN(at) && path === null;
  const here = path ?? [seen.root.id];
  const currentId = here[here.length - 1]!;
  const node = seen.byId.get(currentId)!.node;

  const to = (nodeId: number) => {
    const next = new URLSearchParams(search);
    next.set("node", String(nodeId));
    return { search: `?${next.toString()}` };
  };

  return (
    <div className="preview-layout">
      <div className="preview-walk">
        <p role="status">{count}</p>
        {lost ? (
          <p className="preview-note" role="note">
            The node you were at is not visible to {audienceName}; the walk starts again at the top.
          </p>
        ) : null}
        <nav aria-label="Breadcrumb">
          <ol className="preview-breadcrumb">
            {here.map((nodeId, i) => {
              const step = seen.byId.get(nodeId)!.node;
              return (
                <li key={nodeId}>
                  {i === here.length - 1 ? (
                    <span aria-current="page">{label(step)}</span>
                  ) : (
                    <Link to={to(nodeId)}>{label(step)}</Link>
                  )}
                </li>
              );
            })}
          </ol>
        </nav>
        <NodeCard node={node} seen={seen} audienceName={audienceName} to={to} parent={here[here.length - 2]} />
      </div>
      <Outline
        seen={seen}
        heading={everyone ? "The whole tree" : `What ${audienceName} see`}
        current={currentId}
        to={to}
        path={here}
      />
    </div>
  );
}

type To = (nodeId: number) => { search: string };

function NodeCard({
  node,
  seen,
  audienceName,
  to,
  parent,
}: {
  node: TreeNode;
  seen: SeenTree;
  audienceName: string;
  to: To;
  parent: number | undefined;
}) {
  const heading = useRef<HTMLHeadingElement>(null);
  const shown = useRef(node.id);
  // Moving along the walk moves the focus to the new node, so that a keyboard
  // or screen-reader user hears where they arrived; the first render leaves it.
  useEffect(() => {
    if (shown.current !== node.id) heading.current?.focus();
    shown.current = node.id;
  }, [node.id]);

  const choices = seenChildren(seen, node.id);
  const also = seeAlso(seen, node.id);
  const hiddenLink = node.hyperlink >= 0 && node.hyperlink !== node.id && !also;
  const faqs = faqIds(node.faqs);

  return (
    <article className="preview-node" aria-labelledby="preview-node-title">
      <p className="preview-kind">{TYPE_NAMES[node.type] ?? `Type ${node.type}`}</p>
      <h2 id="preview-node-title" tabIndex={-1} ref={heading}>
        {label(node)}
      </h2>
      {node.long.trim() ? <p className="preview-long">{node.long}</p> : null}
      {faqs.length > 0 ? <p className="preview-faqs">FAQs: {faqs.join(", ")}</p> : null}
      {choices.length > 0 ? (
        <section aria-labelledby="preview-choices">
          <h3 id="preview-choices">{PROMPTS[node.type] ?? "Choices"}</h3>
          <ul className="preview-choices">
            {choices.map((c) => (
              <li key={c.id}>
                <Link to={to(c.id)}>
                  <span className="preview-choice-kind">{TYPE_NAMES[c.type] ?? ""}</span>
                  {label(c)}
                </Link>
              </li>
            ))}
          </ul>
        </section>
      ) : (
        <p className="preview-end">{node.type === 0 ? `${audienceName} see no topics here.` : "The walk ends here."}</p>
      )}
      {also ? (
        <aside className="preview-see-also" aria-label="See also">
          See also: <Link to={to(also.id)}>{label(also)}</Link>
        </aside>
      ) : hiddenLink ? (
        <p className="preview-note">This node links to a node that {audienceName} do not see.</p>
      ) : null}
      {parent !== undefined ? (
        <p>
          <Link to={to(parent)} className="preview-back">
            Back
          </Link>
        </p>
      ) : null}
    </article>
  );
}

/** The whole of what the audience sees, branch by branch, opened on demand. */
function Outline({
  seen,
  heading,
  current,
  to,
  path,
}: {
  seen: SeenTree;
  heading: string;
  current: number;
  to: To;
  path: number[];
}) {
  const key = path.join(",");
  // Keyed on the path's content: a new array with the same ids opens nothing anew.
  const open = useMemo(() => new Set(path), [key]);
  return (
    <nav className="preview-outline" aria-labelledby="preview-outline-title">
      <h2 id="preview-outline-title">{heading}</h2>
      <ul>
        <OutlineItem id={seen.root!.id} seen={seen} current={current} to={to} open={open} />
      </ul>
    </nav>
  );
}

function OutlineItem({
  id,
  seen,
  current,
  to,
  open,
}: {
  id: number;
  seen: SeenTree;
  current: number;
  to: To;
  open: Set<number>;
}) {
  const node = seen.byId.get(id)!.node;
  const children = seenChildren(seen, id);
  const [expanded, setExpanded] = useState(open.has(id));
  // Walking into a branch opens it here too.
  useEffect(() => {
    if (open.has(id)) setExpanded(true);
  }, [open, id]);
  return (
    <li>
      <span className="preview-outline-row">
        {children.length > 0 ? (
          <button
            type="button"
            className="preview-toggle"
            aria-expanded={expanded}
            aria-label={`${expanded ? "Close" : "Open"} ${label(node)}`}
            onClick={() => setExpanded(!expanded)}
          >
            {expanded ? "▾" : "▸"}
          </button>
        ) : (
          <span className="preview-toggle" aria-hidden="true" />
        )}
        {id === current ? (
          <span aria-current="location" className="preview-outline-current">
            {label(node)}
          </span>
        ) : (
          <Link to={to(id)}>{label(node)}</Link>
        )}
      </span>
      {expanded && children.length > 0 ? (
        <ul>
          {children.map((c) => (
            <OutlineItem key={c.id} id={c.id} seen={seen} current={current} to={to} open={open} />
          ))}
        </ul>
      ) : null}
    </li>
  );
}
